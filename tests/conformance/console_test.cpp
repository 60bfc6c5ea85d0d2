// The C run-time's _putch writes to the console, not to standard output.
#include <conio.h>
#include <stdio.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <string>

namespace {

// Standard output sent to a temporary file while the object lives.
class StdoutToFile {
 public:
  StdoutToFile() {
    fflush(stdout);
    file_ = tmpfile();
    saved_ = dup(fileno(stdout));
    dup2(fileno(file_), fileno(stdout));
  }
  // What was written meanwhile; standard output is back afterwards.
  std::string Finish() {
    fflush(stdout);
    dup2(saved_, fileno(stdout));
    close(saved_);
    std::string text;
    rewind(file_);
    int c;
    while ((c = fgetc(file_)) != EOF) text += static_cast<char>(c);
    fclose(file_);
    return text;
  }

 private:
  FILE* file_;
  int saved_;
};

TEST(Console, PutchDoesNotWriteToStandardOutput) {
  StdoutToFile capture;
  printf("a");
  _putch('\r');
  printf("b");
  EXPECT_EQ("ab", capture.Finish());
}

}  // namespace
