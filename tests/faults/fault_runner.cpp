#include "fault_runner.h"

#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"
#include "table.h"

namespace faults {
namespace {

// The transcript's lines.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

bool Begins(const std::string& line, const std::string& start) {
  return line.compare(0, start.size(), start) == 0;
}

void ExpectReceived(const std::string& log, const FaultRow& row) {
  const std::vector<std::string> lines = Lines(log);
  size_t at = 0;
  for (const std::string& wanted : row.received) {
    while (at < lines.size() && !Begins(lines[at], wanted)) at++;
    if (at == lines.size()) {
      ADD_FAILURE() << "the handset did not receive, in order: " << wanted << "\ntranscript:\n"
                    << log;
      return;
    }
    at++;
  }
  for (const std::string& line : lines) {
    for (const std::string& unwanted : row.absent) {
      EXPECT_FALSE(Begins(line, unwanted)) << "the handset received: " << line << "\ntranscript:\n"
                                           << log;
    }
  }
}

}  // namespace

void RunFaultRow(const FaultRow& row, int slackMs) {
  blackbox::TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  if (row.imageSize > 0)
    blackbox::WriteFile(folder.File("kv30.bin"), blackbox::Image(row.imageSize));
  std::string input = "/dev/null";
  if (!row.input.empty()) {
    input = folder.File("keys");
    blackbox::WriteFile(input, row.input);
  }
  std::vector<std::string> options = row.options;
  options.insert(options.end(), {"--log", folder.File("log")});
  blackbox::Kv30Sim handset(folder.path());
  ASSERT_TRUE(handset.Start(options)) << handset.error();
  const pid_t pid = handset.pid();

  // Well past the bound, so that a run that hangs is still seen to end.
  const blackbox::VelkorRun run = blackbox::RunVelkor(folder.path(), folder.path(), row.args,
                                                      row.maxMs + slackMs + 20000, input);
  EXPECT_FALSE(run.timedOut) << "velkor did not end";
  EXPECT_EQ(std::string(blackbox::kBanner) + row.out, run.out);
  EXPECT_EQ(row.status, run.status);
  EXPECT_LE(run.elapsedMs, row.maxMs + slackMs);
  EXPECT_EQ("", run.err) << "velkor writes nothing to standard error; a sanitizer would";

  // What the handset received while velkor ran (a stopped one takes the
  // write it holds once it goes on), and what became of it.
  const std::string log = blackbox::ReadFile(folder.File("log"));
  // Looked at without reaping it: the pid stays the handset's until
  // Kv30Sim reaps it, so no signal can reach another process.
  siginfo_t info;
  memset(&info, 0, sizeof info);
  const bool changed =
      waitid(P_PID, pid, &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
  switch (row.handset) {
    case HandsetEnd::kRuns:
      EXPECT_FALSE(changed) << "kv30sim ended or stopped";
      EXPECT_EQ(0, handset.Stop()) << handset.error();
      break;
    case HandsetEnd::kStopped:
      EXPECT_TRUE(changed && info.si_code == CLD_STOPPED) << "kv30sim did not stop";
      kill(pid, SIGCONT);
      EXPECT_EQ(0, handset.Stop())
          << "kv30sim goes on and ends when continued: " << handset.error();
      break;
    case HandsetEnd::kKilled:
      EXPECT_TRUE(changed && info.si_code == CLD_KILLED && info.si_status == SIGKILL)
          << "kv30sim did not die";
      break;
  }
  ExpectReceived(log, row);
}

}  // namespace faults
