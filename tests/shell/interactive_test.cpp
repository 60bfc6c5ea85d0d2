// The interactive terminal in a real pseudo-terminal and with redirected
// standard streams: a velkor process with a simulated handset in it
// (shell_interactive_host), driven from here.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/user_terminal_mode.h"

namespace {

using Clock = std::chrono::steady_clock;
using Writes = std::vector<std::vector<int>>;

const int waitMs = 15000;

std::string TempPath(const char* name) {
  return ::testing::TempDir() + "velkor-" + name + "-" + std::to_string(getpid());
}

// The host writes every shell write as a line of byte values.
Writes ReadRecord(const std::string& path) {
  Writes writes;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream values(line);
    std::vector<int> bytes;
    int v;
    while (values >> v) bytes.push_back(v);
    writes.push_back(bytes);
  }
  return writes;
}

std::vector<const char*> HostArgs(const std::vector<std::string>& options,
                                  const std::string& record) {
  static std::vector<std::string> keep;
  keep = options;
  keep.insert(keep.begin(), {INTERACTIVE_HOST, "--record", record});
  keep.push_back("--");  // stands in for the program path
  keep.push_back("interactive");
  std::vector<const char*> args;
  for (const std::string& s : keep) args.push_back(s.c_str());
  args.push_back(nullptr);
  return args;
}

class Terminal : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& options = {"--logged-in"}) {
    record = TempPath("interactive-record");
    unlink(record.c_str());
    struct termios mode = UserTerminalMode();
    std::vector<const char*> args = HostArgs(options, record);
    // The terminal is the program's standard streams but not its controlling
    // terminal, and the test keeps it open itself: when a session leader ends,
    // the kernel hangs its controlling terminal up and resets the mode, so the
    // mode the program left behind could not be read any more.
    ASSERT_EQ(0, openpty(&master, &slave, nullptr, &mode, nullptr)) << strerror(errno);
    // Read before the program starts: once it runs, it may already have put
    // the terminal into key mode.
    ASSERT_EQ(0, tcgetattr(slave, &before));
    child = fork();
    ASSERT_GE(child, 0) << strerror(errno);
    if (child == 0) {
      setsid();
      dup2(slave, 0);
      dup2(slave, 1);
      dup2(slave, 2);
      close(master);
      close(slave);
      execv(args[0], const_cast<char* const*>(args.data()));
      _exit(127);
    }
    // The banner, then the prompt the shell answers the first line end with.
    ASSERT_TRUE(ReadUntil("$ ")) << output;
    ASSERT_TRUE(WaitForKeyMode()) << "the terminal never went into key mode";
  }

  void TearDown() override {
    if (child > 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    if (!record.empty()) unlink(record.c_str());
  }

  bool WaitForKeyMode() {
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(waitMs)) {
      struct termios now;
      if (tcgetattr(master, &now) == 0 && !(now.c_lflag & (ICANON | ECHO | ISIG)) &&
          !(now.c_iflag & ICRNL))
        return true;
      usleep(10000);
    }
    return false;
  }

  // Reads the program's output until it holds `text` (after what was there).
  bool ReadUntil(const std::string& text) {
    size_t from = searched;
    auto start = Clock::now();
    for (;;) {
      size_t at = output.find(text, from);
      if (at != std::string::npos) {
        searched = at + text.size();
        return true;
      }
      long long left =
          waitMs -
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (left <= 0) return false;
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[1024];
      ssize_t n = read(master, chunk, sizeof chunk);
      if (n <= 0) return output.find(text, from) != std::string::npos;
      output.append(chunk, n);
    }
  }

  void Type(const std::string& keys) {
    ASSERT_EQ(static_cast<ssize_t>(keys.size()), write(master, keys.data(), keys.size()));
  }

  // Ends the terminal with Ctrl-C; returns the exit status.
  int CtrlC() {
    Type("\x03");
    EXPECT_TRUE(ReadUntil("CTRL-C\n")) << output;
    return Wait();
  }

  int Wait() {
    int status = 0;
    // Keep draining the output so that the child never blocks on it.
    auto start = Clock::now();
    for (;;) {
      pid_t r = waitpid(child, &status, WNOHANG);
      if (r == child) break;
      if (Clock::now() - start > std::chrono::milliseconds(waitMs)) {
        ADD_FAILURE() << "the program did not end";
        return -1;
      }
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        char chunk[1024];
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n > 0) output.append(chunk, n);
      }
    }
    child = -1;
    return status;
  }

  void ExpectModeRestored() {
    struct termios after;
    ASSERT_EQ(0, tcgetattr(slave, &after));
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cc[VMIN], after.c_cc[VMIN]);
  }

  // The host writes after the first line end.
  Writes KeysSent() {
    Writes writes = ReadRecord(record);
    EXPECT_FALSE(writes.empty());
    if (writes.empty()) return writes;
    EXPECT_EQ((std::vector<int>{13, 10}), writes[0]);
    return Writes(writes.begin() + 1, writes.end());
  }

  int master = -1;
  int slave = -1;  // the test's own descriptor of the program's terminal
  pid_t child = -1;
  std::string record;
  std::string output;
  size_t searched = 0;
  struct termios before;
};

TEST_F(Terminal, EnterGoesOutAsCarriageReturnAndCtrlCEnds) {
  Start({"--logged-in", "--echo"});
  Type("ab\r");
  ASSERT_TRUE(ReadUntil("$ ")) << output;  // the shell's answer to the line
  int status = CtrlC();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  // The keys were not shown locally: only the handset's echo appears, the
  // first line end included.
  EXPECT_EQ(0u, output.find("velkor 1.4 [08-60030]\n\r\n$ ab\rerror: unknown command: ab\r\n$ "))
      << output;
  EXPECT_EQ((Writes{{97}, {98}, {13}}), KeysSent());
  ExpectModeRestored();
}

TEST_F(Terminal, LineFeedKeys) {
  Start();
  // LF first (previous key 0), CR then LF, then two LFs in a row.
  Type("\n\r\n\n\n");
  ASSERT_TRUE(ReadUntil("$ $ $ $ ")) << output;
  EXPECT_EQ(0, CtrlC());
  EXPECT_EQ((Writes{{10}, {13, 10}, {13}, {10}, {10}, {13, 10}, {10}, {13, 10}}), KeysSent());
  ExpectModeRestored();
}

TEST_F(Terminal, CursorAndFunctionKeysGoOutAsTwoValues) {
  Start();
  Type("\x1b[A");
  Type("\x1bOP");
  Type("\x1b[3~");
  usleep(300000);
  Type("\x1b");  // Escape alone
  usleep(300000);
  Type("x");
  usleep(300000);
  EXPECT_EQ(0, CtrlC());
  EXPECT_EQ((Writes{{224}, {72}, {0}, {59}, {224}, {83}, {27}, {120}}), KeysSent());
}

TEST_F(Terminal, HandsetLineFeedsAreShownWithCarriageReturns) {
  Start({"--logged-in", "--reply", "lines", "one\\ntwo\\r\\n", "a\\r", "\\nb\\n", "$ "});
  Type("lines\r");
  ASSERT_TRUE(ReadUntil("one")) << output;
  ASSERT_TRUE(ReadUntil("$ ")) << output;
  EXPECT_NE(std::string::npos, output.find("one\r\ntwo\r\na\r\r\nb\r\n$ ")) << output;
  EXPECT_EQ(0, CtrlC());
}

TEST_F(Terminal, ModeIsRestoredWhenTheProcessIsEndedBySignal) {
  for (int sig : {SIGTERM, SIGHUP}) {
    Start();
    output.clear();
    searched = 0;
    kill(child, sig);
    int status = Wait();
    EXPECT_TRUE(WIFSIGNALED(status)) << sig;
    if (WIFSIGNALED(status)) {
      EXPECT_EQ(sig, WTERMSIG(status));
    }
    ExpectModeRestored();
    close(master);
    master = -1;
    close(slave);
    slave = -1;
  }
}

// Keys from a pipe: the end of input ends the terminal with status 0 once the
// handset has been quiet for 500 ms, after its last answer has been shown
// (each answer here comes 100 ms after the line it answers). Standard output
// is a pipe too, so the answers are shown on the console, the program's
// controlling terminal here, and not in standard output.
TEST(RedirectedTerminal, EndOfInputEndsAfterTheLastAnswer) {
  std::string record = TempPath("redirected-record");
  std::vector<const char*> args = HostArgs(
      {"--logged-in", "--delay", "100", "--reply", "config show", "WLANMGR0 /ssid lab\\r\\n", "$ "},
      record);
  int in[2], out[2];
  ASSERT_EQ(0, pipe(in));
  ASSERT_EQ(0, pipe(out));
  struct termios mode = UserTerminalMode();
  mode.c_oflag = 0;  // the console's bytes as the program wrote them
  int master = -1, slave = -1;
  ASSERT_EQ(0, openpty(&master, &slave, nullptr, &mode, nullptr)) << strerror(errno);
  char terminal[64];
  ASSERT_EQ(0, ttyname_r(slave, terminal, sizeof terminal));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A session of its own, whose controlling terminal is the console.
    setsid();
    int console = open(terminal, O_RDWR);
    if (console < 0) _exit(126);
    close(console);
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    close(master);
    close(slave);
    execv(args[0], const_cast<char* const*>(args.data()));
    _exit(127);
  }
  close(slave);
  close(in[0]);
  close(out[1]);
  const char keys[] = "config show\r";
  ASSERT_EQ(static_cast<ssize_t>(sizeof keys - 1), write(in[1], keys, sizeof keys - 1));
  close(in[1]);
  // Standard output until its end, and the console meanwhile.
  std::string output;
  std::string shown;
  char chunk[1024];
  ssize_t n;
  auto start = Clock::now();
  bool outputOpen = true;
  while (outputOpen) {
    ASSERT_LT(Clock::now() - start, std::chrono::milliseconds(waitMs)) << output;
    pollfd ready[2] = {{out[0], POLLIN, 0}, {master, POLLIN, 0}};
    if (poll(ready, 2, 100) <= 0) continue;
    if (ready[1].revents & POLLIN) {
      n = read(master, chunk, sizeof chunk);
      if (n > 0) shown.append(chunk, n);
    }
    if (ready[0].revents & (POLLIN | POLLHUP)) {
      n = read(out[0], chunk, sizeof chunk);
      if (n > 0)
        output.append(chunk, n);
      else
        outputOpen = false;
    }
  }
  close(out[0]);
  pollfd rest = {master, POLLIN, 0};
  while (poll(&rest, 1, 0) > 0 && (rest.revents & POLLIN)) {
    n = read(master, chunk, sizeof chunk);
    if (n <= 0) break;
    shown.append(chunk, n);
  }
  close(master);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("velkor 1.4 [08-60030]\nCTRL-C\n", output);
  EXPECT_EQ("$ WLANMGR0 /ssid lab\r\n$ ", shown);
  Writes writes = ReadRecord(record);
  unlink(record.c_str());
  ASSERT_EQ(13u, writes.size());
  EXPECT_EQ((std::vector<int>{13}), writes.back());
}

}  // namespace
