// upload takes only a regular file (or a link to one) as an image: anything
// else is refused at once with "Error opening file", status 1, and nothing
// sent. A FIFO in particular must not hold up the open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <posixplat/testing.h>

#include <chrono>
#include <future>
#include <memory>
#include <ostream>
#include <string>

#include "app/upload.h"
#include "sim/device.h"
#include "sim/loader.h"
#include "sim/register.h"
#include "tests/support/stdout_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

const auto kOpenBound = std::chrono::seconds(10);

enum Kind { kFifo, kDirectory, kDevice, kLinkToFifo, kLinkToImage };

struct RefusalCase {
  const char* name;
  Kind kind;
  bool refused;
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class UploadOf : public ::testing::TestWithParam<RefusalCase> {
 protected:
  void SetUp() override {
    posixplat::Reset();
    // Standard output is the console, as in a terminal window.
    posixplat::SetConsoleOutput(STDOUT_FILENO);
    device = std::make_shared<sim::Device>();
    loader = std::make_shared<sim::Loader>();
    device->SetFunction(7, loader);
    sim::RegisterHandset(device);
    folder =
        ::testing::TempDir() + "velkor-refusal-" + std::to_string(getpid()) + "-" + GetParam().name;
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  }

  void TearDown() override {
    for (const char* name : {"/fifo", "/image", "/link", "/dir"}) {
      std::string path = folder + name;
      if (unlink(path.c_str()) != 0) rmdir(path.c_str());
    }
    rmdir(folder.c_str());
    sim::UnregisterAllHandsets();
    device.reset();
    posixplat::Reset();
  }

  // The path to hand to upload for `kind`.
  std::string Make(Kind kind) {
    std::string fifo = folder + "/fifo";
    std::string image = folder + "/image";
    switch (kind) {
      case kFifo:
        EXPECT_EQ(0, mkfifo(fifo.c_str(), 0600));
        return fifo;
      case kDirectory:
        EXPECT_EQ(0, mkdir((folder + "/dir").c_str(), 0700));
        return folder + "/dir";
      case kDevice:
        return "/dev/null";
      case kLinkToFifo:
        EXPECT_EQ(0, mkfifo(fifo.c_str(), 0600));
        EXPECT_EQ(0, symlink(fifo.c_str(), (folder + "/link").c_str()));
        return folder + "/link";
      case kLinkToImage: {
        // 100 bytes that pass the image check.
        std::string bytes(100, 'x');
        bytes[4] = static_cast<char>(0x90);
        bytes[5] = bytes[6] = 0;
        int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(100, write(fd, bytes.data(), bytes.size()));
        close(fd);
        EXPECT_EQ(0, symlink(image.c_str(), (folder + "/link").c_str()));
        return folder + "/link";
      }
    }
    return "";
  }

  std::shared_ptr<sim::Device> device;
  std::shared_ptr<sim::Loader> loader;
  std::string folder;
};

TEST_P(UploadOf, IsRefusedAtOnceUnlessARegularFile) {
  const RefusalCase& c = GetParam();
  std::string path = Make(c.kind);
  StdoutCapture capture;
  std::future<int> done =
      std::async(std::launch::async, [&] { return uploadCommand(path.c_str()); });
  if (done.wait_for(kOpenBound) != std::future_status::ready) {
    // Blocked in the open of the FIFO: a writer lets it go on.
    int writer = open((folder + "/fifo").c_str(), O_WRONLY | O_NONBLOCK);
    ADD_FAILURE() << "upload was still opening the file after " << kOpenBound.count() << " s";
    int status = done.get();
    if (writer >= 0) close(writer);
    (void)status;
    capture.Finish();
    return;
  }
  int status = done.get();
  std::string output = capture.Finish();
  if (c.refused) {
    EXPECT_EQ("Error opening file '" + path + "'\n", output);
    EXPECT_EQ(1, status);
    EXPECT_TRUE(loader->WriteSizes().empty()) << "something was sent";
  } else {
    EXPECT_EQ("\r    100/    100 (100 %) #000002\nok\n", output);
    EXPECT_EQ(0, status);
  }
  posixplat::FlushCompletions();
  EXPECT_EQ(0, posixplat::OpenDriverHandleCount());
}

INSTANTIATE_TEST_SUITE_P(Files, UploadOf,
                         ::testing::Values(RefusalCase{"Fifo", kFifo, true},
                                           RefusalCase{"Directory", kDirectory, true},
                                           RefusalCase{"CharacterDevice", kDevice, true},
                                           RefusalCase{"LinkToAFifo", kLinkToFifo, true},
                                           RefusalCase{"LinkToAnImage", kLinkToImage, false}),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) {
                           return info.param.name;
                         });

}  // namespace
