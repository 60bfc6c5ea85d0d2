// Captures what the process writes to standard output (file descriptor 1),
// from every thread, printf and direct writes alike.
#ifndef VELKOR_TESTS_SUPPORT_STDOUT_CAPTURE_H
#define VELKOR_TESTS_SUPPORT_STDOUT_CAPTURE_H

#include <string>

class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  // Restores standard output and returns everything written since the start.
  std::string Finish();

 private:
  int file = -1;
  int saved = -1;
};

#endif
