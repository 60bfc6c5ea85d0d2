// The interactive terminal on a handset that stops taking data: the key that
// meets the stall waits for its write's 5 s, the keys after it are refused
// at once by the stuck link, and the loop goes on reading keys, so Ctrl-C
// ends it well within 10 s.
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "tests/reliability/child.h"
#include "tests/support/user_terminal_mode.h"

namespace {

using Clock = std::chrono::steady_clock;
using reliability::Child;
using reliability::Spawn;

const int kWaitMs = 30000;

bool WaitForKeyMode(int master) {
  for (int waited = 0; waited < kWaitMs; waited += 10) {
    struct termios now;
    if (tcgetattr(master, &now) == 0 && !(now.c_lflag & (ICANON | ECHO | ISIG))) return true;
    usleep(10000);
  }
  return false;
}

TEST(StalledInteractive, CtrlCStillEndsIt) {
  std::string record = reliability::TempPath("interactive-stall-record");
  Spawn spawn;
  // The first line end is taken, every write after it stalls.
  spawn.args = {VELKOR_HOST, "--logged-in", "--stall-shell-after", "1", "--record",
                record,      "--",          "interactive"};
  spawn.pty = true;
  spawn.terminal = UserTerminalMode();
  Child child;
  ASSERT_TRUE(child.Start(spawn));
  ASSERT_TRUE(child.ReadUntil("$ ", kWaitMs)) << child.output();
  ASSERT_TRUE(WaitForKeyMode(child.master()));

  Clock::time_point typed = Clock::now();
  ASSERT_EQ(3, write(child.master(), "ab\x03", 3));
  int status = child.Wait(kWaitMs);
  long long ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - typed).count();
  ASSERT_NE(-1, status) << "velkor did not end; it showed: " << child.output();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("velkor 1.4 [08-60030]\n$ CTRL-C\n", child.output());
  // "a" waited for its write's time; "b" did not wait again.
  EXPECT_GE(ms, 4900);
  EXPECT_LT(ms, 10000);
  // The handset took the first line end only.
  std::ifstream taken(record);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(taken, line)) lines.push_back(line);
  EXPECT_EQ((std::vector<std::string>{"13 10"}), lines);
  unlink(record.c_str());
}

}  // namespace
