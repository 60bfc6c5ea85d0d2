// The terminal's mode comes back whenever velkor ends through a signal a
// program can catch, and the signal still ends the process, so that its exit
// status tells the signal. velkor runs the interactive terminal on a
// pseudo-terminal, which it has put into key mode.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/reliability/child.h"
#include "tests/support/user_terminal_mode.h"

namespace {

using reliability::Child;
using reliability::Spawn;

const int kWaitMs = 15000;

Spawn Interactive(const std::vector<std::string>& hostOptions) {
  Spawn spawn;
  spawn.args = {VELKOR_HOST};
  spawn.args.insert(spawn.args.end(), hostOptions.begin(), hostOptions.end());
  spawn.args.push_back("--");
  spawn.args.push_back("interactive");
  spawn.pty = true;
  spawn.terminal = UserTerminalMode();
  return spawn;
}

bool InKeyMode(int master) {
  struct termios now;
  return tcgetattr(master, &now) == 0 && !(now.c_lflag & (ICANON | ECHO | ISIG)) &&
         !(now.c_iflag & ICRNL);
}

bool WaitForKeyMode(int master) {
  for (int waited = 0; waited < kWaitMs; waited += 10) {
    if (InKeyMode(master)) return true;
    usleep(10000);
  }
  return false;
}

void ExpectModeRestored(int master, const struct termios& before) {
  struct termios after;
  ASSERT_EQ(0, tcgetattr(master, &after));
  EXPECT_EQ(before.c_lflag, after.c_lflag);
  EXPECT_EQ(before.c_iflag, after.c_iflag);
  EXPECT_EQ(before.c_oflag, after.c_oflag);
  EXPECT_EQ(before.c_cc[VMIN], after.c_cc[VMIN]);
  EXPECT_EQ(before.c_cc[VTIME], after.c_cc[VTIME]);
}

class EndedBy : public ::testing::TestWithParam<int> {};

TEST_P(EndedBy, RestoresTheTerminalAndTellsTheSignal) {
  const int sig = GetParam();
  Child child;
  ASSERT_TRUE(child.Start(Interactive({"--logged-in"})));
  const struct termios& before = child.terminalBefore();
  ASSERT_TRUE(child.ReadUntil("$ ", kWaitMs)) << child.output();
  ASSERT_TRUE(WaitForKeyMode(child.master()));

  child.Kill(sig);
  int status = child.Wait(kWaitMs);
  ASSERT_NE(-1, status) << "velkor did not end";
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(sig, WTERMSIG(status)) << strsignal(WTERMSIG(status));
  ExpectModeRestored(child.master(), before);
}

// Every signal whose default action ends a process, save SIGKILL and the
// real-time signals.
INSTANTIATE_TEST_SUITE_P(Signals, EndedBy,
                         ::testing::Values(SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGUSR1,
                                           SIGUSR2, SIGALRM, SIGABRT, SIGSEGV, SIGBUS, SIGFPE,
                                           SIGILL, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
                                           SIGTRAP, SIGSTKFLT, SIGPWR),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "SIG" + std::string(sigabbrev_np(info.param));
                         });

// velkor interactive | head -c 22: the reader of standard output goes away
// after the banner. The handset's output goes to the console, the terminal;
// Ctrl-C's "CTRL-C" goes to standard output and ends velkor by SIGPIPE.
TEST(BrokenPipe, AfterTheReaderLeftRestoresTheTerminal) {
  int out[2];
  ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
  Spawn spawn = Interactive({"--logged-in", "--echo"});
  spawn.out = out[1];
  Child child;
  ASSERT_TRUE(child.Start(spawn));
  close(out[1]);
  const struct termios& before = child.terminalBefore();
  std::string seen;
  ASSERT_TRUE(reliability::ReadFdUntil(out[0], "velkor 1.4 [08-60030]\n", &seen, kWaitMs)) << seen;
  ASSERT_TRUE(child.ReadUntil("$ ", kWaitMs)) << child.output();
  ASSERT_TRUE(WaitForKeyMode(child.master()));
  close(out[0]);

  const char keys[] = "ab\r\x03";
  ASSERT_EQ(static_cast<ssize_t>(sizeof keys - 1), write(child.master(), keys, sizeof keys - 1));
  int status = child.Wait(kWaitMs);
  ASSERT_NE(-1, status) << "velkor did not end";
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGPIPE, WTERMSIG(status));
  ExpectModeRestored(child.master(), before);
}

}  // namespace
