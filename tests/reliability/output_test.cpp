// Everything velkor prints reaches its standard output when it is printed,
// also when that is a file or a pipe, so a run ended by a signal keeps all
// it printed, and the upload's progress line is rewritten as chunks go.
// The handset holds one write for good, so velkor waits while the test looks
// at its output, then kills it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/reliability/child.h"

namespace {

using reliability::Child;
using reliability::Spawn;

const int kWaitMs = 15000;

enum Sink { kFile, kPipe };

struct OutputCase {
  const char* name;
  std::vector<std::string> host;   // host options
  std::vector<std::string> words;  // velkor's words; "IMAGE" is the image file
  Sink sink;
  int signal;
  const char* printed;  // all velkor printed before the held write
};

void PrintTo(const OutputCase& c, std::ostream* out) { *out << c.name; }

// A 2048-byte firmware image: four chunks.
std::string WriteImage() {
  std::string path = reliability::TempPath("output-image");
  std::string bytes(2048, 'x');
  bytes[4] = static_cast<char>(0x91);
  bytes[5] = 0;
  bytes[6] = 0;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
  close(fd);
  return path;
}

class Output : public ::testing::TestWithParam<OutputCase> {};

TEST_P(Output, IsKeptWhenTheRunIsKilled) {
  const OutputCase& c = GetParam();
  std::string image = WriteImage();
  Spawn spawn;
  spawn.args = {VELKOR_HOST};
  spawn.args.insert(spawn.args.end(), c.host.begin(), c.host.end());
  spawn.args.push_back("--");
  for (const std::string& w : c.words) spawn.args.push_back(w == "IMAGE" ? image : w);

  std::string path = reliability::TempPath("output-log");
  int fds[2] = {-1, -1};
  if (c.sink == kFile) {
    spawn.out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  } else {
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    spawn.out = fds[1];
  }
  ASSERT_GE(spawn.out, 0);
  int errPipe[2];
  ASSERT_EQ(0, pipe2(errPipe, O_CLOEXEC));
  spawn.err = errPipe[1];
  Child child;
  ASSERT_TRUE(child.Start(spawn));
  close(spawn.out);
  close(errPipe[1]);

  // The handset now holds a write: velkor waits in it, having printed what
  // it printed so far.
  std::string err;
  ASSERT_TRUE(reliability::ReadFdUntil(errPipe[0], "held write", &err, kWaitMs)) << err;
  std::string seen;
  bool shown = false;
  if (c.sink == kFile) {
    for (int waited = 0; waited < kWaitMs && !shown; waited += 20) {
      seen = reliability::FileText(path);
      shown = seen == c.printed;
      if (!shown) usleep(20000);
    }
  } else {
    shown = reliability::ReadFdUntil(fds[0], c.printed, &seen, kWaitMs);
  }
  EXPECT_TRUE(shown) << "shown while velkor runs: \"" << seen << "\"";

  child.Kill(c.signal);
  int status = child.Wait(kWaitMs);
  ASSERT_NE(-1, status);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(c.signal, WTERMSIG(status));
  if (c.sink == kFile) {
    EXPECT_EQ(c.printed, reliability::FileText(path));
  } else {
    reliability::ReadFdToEnd(fds[0], &seen, kWaitMs);
    EXPECT_EQ(c.printed, seen);
    close(fds[0]);
  }
  close(errPipe[0]);
  unlink(path.c_str());
  unlink(image.c_str());
}

// The carriage return before each progress line goes to the console, not
// into the file or the pipe.
const char kUploadPrinted[] =
    "velkor 1.4 [08-60030]\n"
    "    512/   2048 ( 25 %) #000008"
    "   1024/   2048 ( 50 %) #000016";
const char kConfigPrinted[] =
    "velkor 1.4 [08-60030]\n"
    "velkor: unexpected option to /cipher\n";

INSTANTIATE_TEST_SUITE_P(Runs, Output,
                         ::testing::Values(
                             // Header, two chunks, then the third chunk is held.
                             OutputCase{"UploadToAFileEndedByTerm",
                                        {"--hold-loader-write", "3"},
                                        {"upload", "IMAGE"},
                                        kFile,
                                        SIGTERM,
                                        kUploadPrinted},
                             OutputCase{"UploadToAPipeEndedByKill",
                                        {"--hold-loader-write", "3"},
                                        {"upload", "IMAGE"},
                                        kPipe,
                                        SIGKILL,
                                        kUploadPrinted},
                             // The first line end of the login is held.
                             OutputCase{"ConfigToAFileEndedByKill",
                                        {"--hold-shell-write", "0"},
                                        {"config", "/cipher", "NONE", "/ssid", "lab"},
                                        kFile,
                                        SIGKILL,
                                        kConfigPrinted},
                             OutputCase{"ConfigToAPipeEndedByHangUp",
                                        {"--hold-shell-write", "0"},
                                        {"config", "/cipher", "NONE", "/ssid", "lab"},
                                        kPipe,
                                        SIGHUP,
                                        kConfigPrinted}),
                         [](const ::testing::TestParamInfo<OutputCase>& info) {
                           return info.param.name;
                         });

}  // namespace
