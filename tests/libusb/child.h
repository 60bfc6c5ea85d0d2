// A child process with pipes on its standard input and output, for tests
// that run programs under the emulated usbfs of their own process.
#ifndef VELKOR_TESTS_LIBUSB_CHILD_H
#define VELKOR_TESTS_LIBUSB_CHILD_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace usbfs {

class Child {
 public:
  Child() = default;
  // Kills and reaps the child if it still runs.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts `argv` (argv[0] a path) with extra environment entries.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  // Reads standard output until `text` has appeared; false after timeoutMs.
  bool WaitForOutput(const std::string& text, int timeoutMs);
  // Closes the child's standard input.
  void CloseInput();
  // Waits up to timeoutMs for the end, reading the rest of its output.
  // The exit status, or -1 when it had to be killed or died by a signal.
  int Wait(int timeoutMs);

  const std::string& output() const { return output_; }
  const std::string& errors() const { return errors_; }
  int elapsedMs() const { return elapsedMs_; }

 private:
  void Drain(int timeoutMs);

  pid_t pid_ = -1;
  int input_ = -1;
  int outputFd_ = -1;
  int errorFd_ = -1;
  std::string output_;
  std::string errors_;
  long long startedUs_ = 0;
  int elapsedMs_ = 0;
};

}  // namespace usbfs

#endif
