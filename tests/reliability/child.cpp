#include "tests/reliability/child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace reliability {
namespace {

using Clock = std::chrono::steady_clock;

long long LeftMs(Clock::time_point start, int timeoutMs) {
  return timeoutMs -
         std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The environment of the child: the sanitizers' own handlers for the fatal
// signals would end the program with a report instead of the signal.
std::vector<std::string> ChildEnvironment() {
  const char kLeave[] =
      "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
  std::vector<std::string> env;
  bool asan = false, tsan = false;
  for (char** e = environ; *e != nullptr; e++) {
    std::string entry = *e;
    if (entry.rfind("ASAN_OPTIONS=", 0) == 0) {
      entry += std::string(":") + kLeave;
      asan = true;
    } else if (entry.rfind("TSAN_OPTIONS=", 0) == 0) {
      entry += std::string(":") + kLeave;
      tsan = true;
    }
    env.push_back(entry);
  }
  if (!asan) env.push_back(std::string("ASAN_OPTIONS=") + kLeave);
  if (!tsan) env.push_back(std::string("TSAN_OPTIONS=") + kLeave);
  return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& t : texts) pointers.push_back(const_cast<char*>(t.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void Exec(const Spawn& spawn, char* const* argv, char* const* envp) {
  if (spawn.in >= 0) dup2(spawn.in, 0);
  if (spawn.out >= 0) dup2(spawn.out, 1);
  if (spawn.err >= 0) dup2(spawn.err, 2);
  struct rlimit none = {0, 0};
  setrlimit(RLIMIT_CORE, &none);
  // Every signal at its default, none blocked, as a shell starts a program.
  sigset_t all;
  sigemptyset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; sig++) sigaction(sig, &dfl, nullptr);
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

bool Child::Start(const Spawn& spawn) {
  std::vector<std::string> env = ChildEnvironment();
  std::vector<char*> argv = Pointers(spawn.args);
  std::vector<char*> envp = Pointers(env);
  int slave = -1;
  if (spawn.pty) {
    struct termios mode = spawn.terminal;
    if (openpty(&master_, &slave, nullptr, &mode, nullptr) != 0) return false;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    // Read before the child exists: it may change the mode at any moment.
    if (tcgetattr(master_, &before_) != 0) return false;
  }
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // The terminal becomes the controlling terminal and the standard streams.
    // Without one, the child gets a session of its own and no controlling
    // terminal: its console output must not reach the terminal of whoever
    // runs the tests.
    if (slave >= 0 ? login_tty(slave) != 0 : setsid() < 0) _exit(126);
    Exec(spawn, argv.data(), envp.data());
  }
  if (slave >= 0) close(slave);
  return true;
}

bool Child::ReadSome(int timeoutMs) {
  if (master_ < 0) return false;
  struct pollfd p = {master_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  char chunk[1024];
  ssize_t n = read(master_, chunk, sizeof chunk);
  if (n <= 0) return false;
  output_.append(chunk, n);
  return true;
}

bool Child::ReadUntil(const std::string& text, int timeoutMs) {
  Clock::time_point start = Clock::now();
  for (;;) {
    size_t at = output_.find(text, matched_);
    if (at != std::string::npos) {
      matched_ = at + text.size();
      return true;
    }
    long long left = LeftMs(start, timeoutMs);
    if (left <= 0) return false;
    if (!ReadSome(static_cast<int>(left < 50 ? left : 50)) && master_ < 0) {
      usleep(10000);
    }
  }
}

int Child::Wait(int timeoutMs) {
  Clock::time_point start = Clock::now();
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      while (ReadSome(0)) {
      }
      return status;
    }
    if (LeftMs(start, timeoutMs) <= 0) return -1;
    // Keep draining the terminal so that the child never blocks on it.
    if (!ReadSome(20)) usleep(master_ >= 0 ? 0 : 20000);
  }
}

void Child::Kill(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

bool ReadFdUntil(int fd, const std::string& text, std::string* data, int timeoutMs) {
  Clock::time_point start = Clock::now();
  for (;;) {
    if (data->find(text) != std::string::npos) return true;
    long long left = LeftMs(start, timeoutMs);
    if (left <= 0) return false;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[1024];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return data->find(text) != std::string::npos;
    data->append(chunk, n);
  }
}

void ReadFdToEnd(int fd, std::string* data, int timeoutMs) {
  Clock::time_point start = Clock::now();
  for (;;) {
    long long left = LeftMs(start, timeoutMs);
    if (left <= 0) return;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[1024];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return;
    data->append(chunk, n);
  }
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string TempPath(const std::string& name) {
  static int serial = 0;
  return ::testing::TempDir() + "velkor-" + name + "-" + std::to_string(getpid()) + "-" +
         std::to_string(serial++);
}

}  // namespace reliability
