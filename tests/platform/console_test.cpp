// The console functions with redirected standard streams. The console keeps
// process-wide state (end of input is final), so every case runs in a child
// process of its own.
#include <conio.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Standard input becomes a pipe holding `keys`, already closed for writing.
void InputFrom(const std::string& keys) {
  int fds[2];
  if (pipe(fds) != 0) _exit(10);
  if (write(fds[1], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) _exit(11);
  close(fds[1]);
  dup2(fds[0], 0);
  close(fds[0]);
}

// Waits for a key for up to 10 s; -1 when none came.
int NextKey() {
  auto start = Clock::now();
  while (MsSince(start) < 10000) {
    if (_kbhit()) return _getch();
    usleep(5000);
  }
  return -1;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "failed: %s\n", what);
    fflush(stderr);
    _exit(1);
  }
}

// A temporary file, already unlinked.
int TemporaryFile() {
  char path[] = "/tmp/velkor-console-XXXXXX";
  int file = mkstemp(path);
  Check(file >= 0, "temporary file");
  unlink(path);
  return file;
}

std::string FileText(int file) {
  char text[64] = {0};
  Check(pread(file, text, sizeof text - 1, 0) >= 0, "file read");
  return text;
}

// A terminal without output processing: its master side, with the slave's
// descriptor in `slave`.
int Terminal(int* slave) {
  struct termios raw;
  memset(&raw, 0, sizeof raw);
  raw.c_cflag = CS8 | CREAD | CLOCAL;
  int master = -1;
  Check(openpty(&master, slave, nullptr, &raw, nullptr) == 0, "pseudo-terminal");
  return master;
}

// What a terminal's master side gets, up to `count` bytes (waits up to 10 s).
std::string ReadTerminal(int master, size_t count) {
  std::string text;
  auto start = Clock::now();
  while (text.size() < count && MsSince(start) < 10000) {
    pollfd ready = {master, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char chunk[16];
    ssize_t n = read(master, chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

// Standard output is a terminal, so it is the console as well.
void PutchKeepsItsPlaceAfterPrintfOnTheConsole() {
  int slave = -1;
  int master = Terminal(&slave);
  dup2(slave, 1);
  setvbuf(stdout, nullptr, _IOFBF, 4096);
  printf("A");
  _putch('B');
  printf("C\n");
  _putch('\n');
  fflush(stdout);
  Check(ReadTerminal(master, 5) == "ABC\n\n", "order kept");
  _exit(0);
}

// Redirected standard output is no console: console output goes to the
// controlling terminal, and nowhere without one.
void PutchSkipsRedirectedOutput() {
  Check(setsid() > 0, "a session without a controlling terminal");
  int file = TemporaryFile();
  dup2(file, 1);
  printf("A");
  Check(_putch('B') == EOF, "no console to write to");
  printf("C\n");
  fflush(stdout);
  Check(FileText(file) == "AC\n", "standard output without the console's byte");
  _exit(0);
}

void PutchWritesToTheControllingTerminal() {
  Check(setsid() > 0, "a session of its own");
  int slave = -1;
  int master = Terminal(&slave);
  char name[64];
  Check(ttyname_r(slave, name, sizeof name) == 0, "terminal name");
  // Opened by a session leader, the terminal becomes its controlling one.
  int controlling = open(name, O_RDWR);
  Check(controlling >= 0, "controlling terminal");
  int file = TemporaryFile();
  dup2(file, 1);
  printf("A");
  Check(_putch('B') == 'B', "written to the console");
  printf("C\n");
  fflush(stdout);
  Check(ReadTerminal(master, 1) == "B", "the console got it");
  Check(FileText(file) == "AC\n", "standard output without it");
  _exit(0);
}

void KeysAreTheBytesOfRedirectedInput() {
  InputFrom(std::string("a\r\n\x1b[A\x03", 7));
  const int expected[] = {'a', 13, 10, 27, '[', 'A', 3};
  for (int key : expected) Check(NextKey() == key, "key as read");
  _exit(0);
}

void EndOfInputReadsAsCtrlCAfterQuietOutput() {
  // No console: the dots go nowhere, and still count as output.
  Check(setsid() > 0, "a session without a controlling terminal");
  InputFrom("x");
  int devNull = open("/dev/null", O_WRONLY);
  Check(devNull >= 0, "/dev/null");
  dup2(devNull, 1);
  Check(NextKey() == 'x', "the key before the end");
  // Output keeps the terminal going: no key while something was written
  // within the last 500 ms.
  auto start = Clock::now();
  long long lastPut = 0;
  while (MsSince(start) < 1000) {
    // Taken before the write, so that it is not later than the platform's
    // own record of it; the two millisecond clocks may still round apart by
    // one.
    lastPut = MsSince(start);
    _putch('.');
    Check(!_kbhit(), "no key while output goes on");
    usleep(50000);
  }
  int key = NextKey();
  long long at = MsSince(start);
  Check(key == 3, "Ctrl-C at the end");
  Check(at - lastPut >= 500 - 1, "only after 500 ms of quiet");
  Check(NextKey() == 3, "and again");
  _exit(0);
}

void RedirectedInputIsNoConsole() {
  InputFrom("");
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  Check(in != GetStdHandle(STD_OUTPUT_HANDLE), "distinct handles");
  Check(in != INVALID_HANDLE_VALUE && in != nullptr, "a handle");
  Check(SetConsoleMode(in, 3) == FALSE, "SetConsoleMode refused");
  DWORD mode = 99;
  Check(GetConsoleMode(in, &mode) == FALSE, "GetConsoleMode refused");
  Check(SetConsoleMode(nullptr, 3) == FALSE, "no handle");
  _exit(0);
}

TEST(Console, PutchKeepsItsPlaceAfterPrintfOnTheConsole) {
  EXPECT_EXIT(PutchKeepsItsPlaceAfterPrintfOnTheConsole(), ::testing::ExitedWithCode(0), "");
}

TEST(Console, PutchSkipsRedirectedOutput) {
  EXPECT_EXIT(PutchSkipsRedirectedOutput(), ::testing::ExitedWithCode(0), "");
}

TEST(Console, PutchWritesToTheControllingTerminal) {
  EXPECT_EXIT(PutchWritesToTheControllingTerminal(), ::testing::ExitedWithCode(0), "");
}

TEST(Console, KeysAreTheBytesOfRedirectedInput) {
  EXPECT_EXIT(KeysAreTheBytesOfRedirectedInput(), ::testing::ExitedWithCode(0), "");
}

TEST(Console, EndOfInputReadsAsCtrlCAfterQuietOutput) {
  EXPECT_EXIT(EndOfInputReadsAsCtrlCAfterQuietOutput(), ::testing::ExitedWithCode(0), "");
}

TEST(Console, RedirectedInputIsNoConsole) {
  EXPECT_EXIT(RedirectedInputIsNoConsole(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
