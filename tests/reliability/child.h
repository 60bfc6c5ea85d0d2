// Child processes for the whole-program tests: the velkor host started with
// its standard streams where a test wants them, optionally on a
// pseudo-terminal, and waited for with a bound.
#ifndef VELKOR_TESTS_RELIABILITY_CHILD_H
#define VELKOR_TESTS_RELIABILITY_CHILD_H

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

namespace reliability {

struct Spawn {
  std::vector<std::string> args;  // args[0] is the program
  // On a pseudo-terminal: standard input, output and error are its slave
  // side unless redirected below; `terminal` is the mode it starts in.
  bool pty = false;
  struct termios terminal = {};
  // Descriptors the child gets as its standard streams (-1: leave them).
  int in = -1;
  int out = -1;
  int err = -1;
};

class Child {
 public:
  Child() = default;
  ~Child();  // kills a child that still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts the child: no core files, and sanitizers leave the fatal signals
  // to the program. False when fork failed.
  bool Start(const Spawn& spawn);
  // Waits up to timeoutMs for the end, meanwhile reading the terminal's
  // output into output(). The raw wait status, or -1 after the time.
  int Wait(int timeoutMs);
  // Reads the terminal until its output holds `text` after the part
  // already matched; false after timeoutMs.
  bool ReadUntil(const std::string& text, int timeoutMs);
  void Kill(int signal);

  pid_t pid() const { return pid_; }
  int master() const { return master_; }
  // The terminal's mode before the child started.
  const struct termios& terminalBefore() const { return before_; }
  const std::string& output() const { return output_; }

 private:
  bool ReadSome(int timeoutMs);

  pid_t pid_ = -1;
  int master_ = -1;
  struct termios before_ = {};
  std::string output_;
  size_t matched_ = 0;
};

// Reads a descriptor until `text` is in what was read; false after timeoutMs
// or at its end. `data` keeps everything read.
bool ReadFdUntil(int fd, const std::string& text, std::string* data, int timeoutMs);
// Reads a descriptor to its end (bounded by timeoutMs).
void ReadFdToEnd(int fd, std::string* data, int timeoutMs);
std::string FileText(const std::string& path);
std::string TempPath(const std::string& name);

}  // namespace reliability

#endif
