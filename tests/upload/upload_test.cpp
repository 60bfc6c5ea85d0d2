// The upload command end to end: the real command over the real link and
// platform layer, against a simulated handset with its loader on endpoint 7.
#include <fcntl.h>
#include <unistd.h>
#include <windows.h>

#include <dirent.h>
#include <gtest/gtest.h>
#include <posixplat/testing.h>

#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "app/trace.h"
#include "app/upload.h"
#include "sim/device.h"
#include "sim/loader.h"
#include "sim/register.h"
#include "tests/support/stdout_capture.h"

namespace {

int OpenFileCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) count++;
  closedir(dir);
  return count;
}

// A firmware image: bytes 4 to 6 pass the image check, the rest is a pattern.
std::vector<uint8_t> Image(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; i++) bytes[i] = static_cast<uint8_t>(i * 13 + 1);
  if (length >= 8) {
    bytes[4] = 0x90;
    bytes[5] = 0;
    bytes[6] = 0;
  }
  return bytes;
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

struct Outcome {
  int status;
  std::string output;
};

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Run by hand too, the tests never find a simulator of another process.
    setenv("KV30SIM_DIR", (::testing::TempDir() + "no-kv30sim").c_str(), 0);
    posixplat::Reset();
    // Standard output is the console here, as in a terminal window: the
    // carriage return before each progress line, which goes to the console,
    // shows in it.
    posixplat::SetConsoleOutput(STDOUT_FILENO);
    device = std::make_shared<sim::Device>();
    loader = std::make_shared<sim::Loader>();
    device->SetFunction(7, loader);
    instance = sim::RegisterHandset(device);
    handlesBefore = posixplat::OpenHandleCount();
    filesBefore = OpenFileCount();
  }

  void TearDown() override {
    traceEnabled = false;
    for (const std::string& path : paths) unlink(path.c_str());
    sim::UnregisterAllHandsets();
    device.reset();
    posixplat::Reset();
  }

  std::string NewPath() {
    static std::atomic<int> serial{0};
    std::string path = ::testing::TempDir() + "velkor-upload-" + std::to_string(getpid()) + "-" +
                       std::to_string(serial++) + ".bin";
    paths.push_back(path);
    return path;
  }

  std::string WriteFile(const std::vector<uint8_t>& bytes) {
    std::string path = NewPath();
    FILE* file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return path;
    if (!bytes.empty()) {
      EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    }
    fclose(file);
    return path;
  }

  Outcome Upload(const std::string& path) {
    StdoutCapture capture;
    int status = uploadCommand(path.c_str());
    return Outcome{status, capture.Finish()};
  }

  // Whatever path the command took, it left no handle, session or file open.
  void ExpectEverythingClosed() {
    posixplat::FlushCompletions();
    EXPECT_EQ(posixplat::OpenHandleCount(), handlesBefore);
    EXPECT_EQ(posixplat::OpenDriverHandleCount(), 0);
    EXPECT_EQ(device->OpenSessions(), 0);
    EXPECT_EQ(OpenFileCount(), filesBefore);
  }

  std::vector<uint32_t> WriteSizes() { return loader->WriteSizes(); }

  std::shared_ptr<sim::Device> device;
  std::shared_ptr<sim::Loader> loader;
  int instance = 0;
  int handlesBefore = 0;
  int filesBefore = 0;
  std::vector<std::string> paths;
};

// --- Successful uploads ------------------------------------------------------

struct SuccessCase {
  const char* name;
  size_t length;
  std::vector<uint32_t> writes;  // header (text and NUL) first
  std::string output;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SuccessCase& c, std::ostream* os) { *os << c.name; }

class UploadSucceeds : public UploadTest, public ::testing::WithParamInterface<SuccessCase> {};

TEST_P(UploadSucceeds, SendsHeaderAndChunksAndShowsProgress) {
  const SuccessCase& c = GetParam();
  std::vector<uint8_t> image = Image(c.length);
  Outcome run = Upload(WriteFile(image));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, c.output);
  EXPECT_EQ(WriteSizes(), c.writes);
  EXPECT_EQ(loader->Header(), "! upload  " + std::to_string(c.length));
  EXPECT_EQ(loader->Image(), image);
  ExpectEverythingClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Table, UploadSucceeds,
    ::testing::Values(
        SuccessCase{"Bytes8", 8, {12, 8}, "\r      8/      8 (100 %) #000001\nok\n"},
        SuccessCase{"Bytes50", 50, {13, 50}, "\r     50/     50 (100 %) #000001\nok\n"},
        SuccessCase{"Bytes100", 100, {14, 100}, "\r    100/    100 (100 %) #000002\nok\n"},
        SuccessCase{"Bytes512", 512, {14, 512}, "\r    512/    512 (100 %) #000008\nok\n"},
        SuccessCase{"Bytes1000",
                    1000,
                    {15, 512, 488},
                    "\r    512/   1000 ( 51 %) #000008\r   1000/   1000 (100 %) #000016\nok\n"},
        SuccessCase{"Bytes1030",
                    1030,
                    {15, 512, 512, 6},
                    "\r    512/   1030 ( 49 %) #000008\r   1024/   1030 ( 99 %) #000016"
                    "\r   1030/   1030 (100 %) #000017\nok\n"}),
    [](const ::testing::TestParamInfo<SuccessCase>& info) { return info.param.name; });

TEST_F(UploadTest, HeaderIsTheTextAndItsNul) {
  Upload(WriteFile(Image(1000)));
  std::vector<sim::WriteRecord> writes = device->Writes(7);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].data, Bytes(std::string("! upload  1000\0", 15)));
}

TEST_F(UploadTest, TraceShowsEachAcknowledgementAndTheSummary) {
  traceEnabled = true;
  Outcome run = Upload(WriteFile(Image(100)));
  EXPECT_EQ(run.status, 0);
  // The worker's lines and the command's lines interleave in any order.
  for (const char* line : {"onRecv #0 sema:0 <2,#0>\n", "sent: (0) 1/2 100b [100b]\n",
                           "sent: (1) 2/2 100b [100b]\n", "\r    100/    100 (100 %) #000002"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line;
  }
  EXPECT_TRUE(std::regex_search(run.output, std::regex("onRecv #1 sema:0 <2,#1>\n")));
  EXPECT_TRUE(std::regex_search(run.output, std::regex("onRecv #2 sema:[01] <2,#2>\n")));
  std::smatch summary;
  ASSERT_TRUE(std::regex_search(
      run.output, summary,
      std::regex("\nWritten \\(2/2\\)p - 100b in ([0-9]+)ms \\(([0-9]+) kbps\\)\n")));
  long ms = std::stol(summary[1]);
  EXPECT_GE(ms, 10);
  EXPECT_EQ(std::stol(summary[2]), 800 / ms);
  EXPECT_EQ(run.output.find("Error"), std::string::npos);
  EXPECT_EQ(run.output.find("ok\n"), std::string::npos);
}

TEST_F(UploadTest, RepeatedAcknowledgementIsReportedAndOtherwiseIgnored) {
  loader->RepeatAck(3);
  std::vector<uint8_t> image = Image(1000);
  Outcome run = Upload(WriteFile(image));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output,
            "Error: unexpected usb ack #4\n"
            "\r    512/   1000 ( 51 %) #000008\r   1000/   1000 (100 %) #000016\nok\n");
  EXPECT_EQ(loader->Image(), image);
  ExpectEverythingClosed();
}

TEST_F(UploadTest, SlowAnswersWithinTheLimitsAreWaitedFor) {
  // The header's answer may take up to 4000 ms, each data answer 2000 ms.
  loader->DelayAck(0, 2800);
  loader->DelayAck(1, 1000);
  loader->DelayAck(2, 1000);
  std::vector<uint8_t> image = Image(100);
  Outcome run = Upload(WriteFile(image));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "\r    100/    100 (100 %) #000002\nok\n");
  EXPECT_EQ(loader->Image(), image);
  ExpectEverythingClosed();
}

TEST_F(UploadTest, FileThatGrowsMeanwhileIsSentAsAnnounced) {
  std::vector<uint8_t> image = Image(5000);
  std::string path = WriteFile(image);
  loader->SetWriteHook([path](uint32_t index) {
    if (index != 1) return;
    FILE* file = fopen(path.c_str(), "ab");
    if (file == nullptr) return;
    std::vector<uint8_t> more(1000, 0xAA);
    fwrite(more.data(), 1, more.size(), file);
    fclose(file);
  });
  Outcome run = Upload(path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(loader->Image(), image);
  const std::string end = "\r   5000/   5000 (100 %) #000079\nok\n";
  ASSERT_GE(run.output.size(), end.size());
  EXPECT_EQ(run.output.substr(run.output.size() - end.size()), end);
  ExpectEverythingClosed();
}

// --- Refused before anything is sent ------------------------------------------

struct ImageCheckCase {
  const char* name;
  uint8_t byte4, byte5, byte6, byte7;
  bool passes;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ImageCheckCase& c, std::ostream* os) { *os << c.name; }

class ImageCheck : public UploadTest, public ::testing::WithParamInterface<ImageCheckCase> {};

TEST_P(ImageCheck, LooksAtBytesFourToSix) {
  const ImageCheckCase& c = GetParam();
  std::vector<uint8_t> image = Image(16);
  image[0] = image[1] = image[2] = image[3] = 0xFF;  // never looked at
  image[4] = c.byte4;
  image[5] = c.byte5;
  image[6] = c.byte6;
  image[7] = c.byte7;
  std::string path = WriteFile(image);
  Outcome run = Upload(path);
  if (c.passes) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "\r     16/     16 (100 %) #000001\nok\n");
    EXPECT_EQ(loader->Image(), image);
  } else {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "Error file '" + path + "' is nor an KV30 firmware file\n");
    EXPECT_TRUE(WriteSizes().empty());
  }
  ExpectEverythingClosed();
}

INSTANTIATE_TEST_SUITE_P(Table, ImageCheck,
                         ::testing::Values(ImageCheckCase{"Byte4Is90", 0x90, 0, 0, 0, true},
                                           ImageCheckCase{"Byte4Is91", 0x91, 0, 0, 0, true},
                                           ImageCheckCase{"Byte7Ignored", 0x90, 0, 0, 0xFF, true},
                                           ImageCheckCase{"Byte4Is92", 0x92, 0, 0, 0, false},
                                           ImageCheckCase{"Byte4Is8F", 0x8F, 0, 0, 0, false},
                                           ImageCheckCase{"Byte4Is10", 0x10, 0, 0, 0, false},
                                           ImageCheckCase{"Byte5Set", 0x90, 1, 0, 0, false},
                                           ImageCheckCase{"Byte6Set", 0x90, 0, 0x80, 0, false}),
                         [](const ::testing::TestParamInfo<ImageCheckCase>& info) {
                           return info.param.name;
                         });

TEST_F(UploadTest, FileShorterThanEightBytesIsRefused) {
  for (size_t length : {0, 1, 7}) {
    std::string path = WriteFile(Image(length));
    int sessionsBefore = device->SessionsOpened();
    Outcome run = Upload(path);
    EXPECT_EQ(run.status, 1) << length;
    EXPECT_EQ(run.output, "Error file length file '" + path + "'\n");
    EXPECT_GT(device->SessionsOpened(), sessionsBefore);  // the handset was looked for first
  }
  EXPECT_TRUE(WriteSizes().empty());
  ExpectEverythingClosed();
}

TEST_F(UploadTest, MissingFileIsRefusedOnceTheHandsetIsFound) {
  std::string path = NewPath();
  Outcome run = Upload(path);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "Error opening file '" + path + "'\n");
  EXPECT_GT(device->SessionsOpened(), 0);
  EXPECT_TRUE(WriteSizes().empty());
  ExpectEverythingClosed();
}

TEST_F(UploadTest, WithoutHandsetNothingElseIsLookedAt) {
  sim::UnregisterHandset(instance);
  std::string missing = NewPath();
  std::string present = WriteFile(Image(100));
  for (const std::string& path : {missing, present}) {
    Outcome run = Upload(path);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "KV30 not found.");
  }
  EXPECT_EQ(device->SessionsOpened(), 0);
  ExpectEverythingClosed();
}

// Sizes that the header's "%i" cannot carry, made as sparse files.
struct SizeCase {
  const char* name;
  off_t length;
  bool fits;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class FileSize : public UploadTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FileSize, TooLargeForTheHeaderIsRefused) {
  const SizeCase& c = GetParam();
  std::string path = WriteFile(std::vector<uint8_t>(8, 0));  // fails the image check
  ASSERT_EQ(truncate(path.c_str(), c.length), 0) << "cannot make a sparse file";
  Outcome run = Upload(path);
  EXPECT_EQ(run.status, 1);
  if (c.fits) {
    EXPECT_EQ(run.output, "Error file '" + path + "' is nor an KV30 firmware file\n");
  } else {
    EXPECT_EQ(run.output, "Error file length file '" + path + "'\n");
  }
  EXPECT_TRUE(WriteSizes().empty());
  ExpectEverythingClosed();
}

INSTANTIATE_TEST_SUITE_P(Table, FileSize,
                         ::testing::Values(SizeCase{"Largest", 0x7FFFFFFF, true},
                                           SizeCase{"TwoGiB", 0x80000000LL, false},
                                           SizeCase{"FourGiB", 0x100000000LL, false},
                                           SizeCase{"FourGiBAndSixteen", 0x100000010LL, false}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                           return info.param.name;
                         });

// --- Failures after the header was built: status 2 ------------------------------
// One test per row, so that rows that wait out the protocol's limits run in
// parallel.

struct FailureCase {
  const char* name;
  size_t length;
  std::function<void(sim::Loader&)> set;
  std::string output;
  std::vector<uint32_t> writes;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class UploadFails : public UploadTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(UploadFails, ReportsTheFailureWithStatusTwo) {
  const FailureCase& c = GetParam();
  c.set(*loader);
  std::vector<uint8_t> image = Image(c.length);
  Outcome run = Upload(WriteFile(image));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.output, c.output);
  EXPECT_EQ(WriteSizes(), c.writes);
  ExpectEverythingClosed();
}

const char kProgress512[] = "\r    512/   1000 ( 51 %) #000008";

INSTANTIATE_TEST_SUITE_P(
    Table, UploadFails,
    ::testing::Values(FailureCase{"HeaderWriteFails",
                                  1000,
                                  [](sim::Loader& l) { l.FailWrite(0, 0xE0001000); },
                                  "Error: writing header to USB\n",
                                  {15}},
                      FailureCase{"HeaderWriteShort",
                                  1000,
                                  [](sim::Loader& l) { l.ShortenWrite(0, 14); },
                                  "Error: writing header to USB\n",
                                  {15}},
                      FailureCase{"HeaderNeverAnswered",
                                  1000,
                                  [](sim::Loader& l) { l.IgnoreHeader(); },
                                  "Error: waiting for ack #0\n",
                                  {15}},
                      FailureCase{"HeaderAnsweredTooLate",
                                  100,
                                  [](sim::Loader& l) { l.DelayAck(0, 6000); },
                                  "Error: waiting for ack #0\n",
                                  {14}},
                      FailureCase{"ChunkWriteFails",
                                  1000,
                                  [](sim::Loader& l) { l.FailWrite(1, 0xE0001000); },
                                  "Error: writing to USB (0!=512)\n",
                                  {15, 512}},
                      FailureCase{"ChunkWriteShort",
                                  1000,
                                  [](sim::Loader& l) { l.ShortenWrite(2, 100); },
                                  std::string(kProgress512) + "Error: writing to USB (100!=488)\n",
                                  {15, 512, 488}},
                      FailureCase{"FirstDataAckNever",
                                  1000,
                                  [](sim::Loader& l) { l.StallAfter(1); },
                                  "Error: waiting for ack #0\n",
                                  {15, 512}},
                      FailureCase{"StallMidChunk",
                                  1000,
                                  [](sim::Loader& l) { l.StallAfter(5); },
                                  "Error: waiting for ack #4\n",
                                  {15, 512}},
                      FailureCase{"StallAfterFirstChunk",
                                  1000,
                                  [](sim::Loader& l) { l.StallAfter(9); },
                                  std::string(kProgress512) + "Error: waiting for ack #8\n",
                                  {15, 512, 488}},
                      FailureCase{"DataAckTooLate",
                                  100,
                                  [](sim::Loader& l) { l.DelayAck(2, 4000); },
                                  "Error: waiting for ack #1\n",
                                  {14, 100}},
                      FailureCase{"DroppedAck",
                                  1000,
                                  [](sim::Loader& l) { l.DropAck(3); },
                                  "Error: unexpected usb ack #3\nError: unexpected usb ack #3\n"
                                  "Error: unexpected usb ack #3\nError: unexpected usb ack #3\n"
                                  "Error: unexpected usb ack #3\nError: waiting for ack #2\n",
                                  {15, 512}},
                      FailureCase{"SwappedAcks",
                                  1000,
                                  [](sim::Loader& l) { l.SwapAcks(4, 5); },
                                  "Error: unexpected usb ack #4\nError: unexpected usb ack #5\n"
                                  "Error: unexpected usb ack #5\nError: unexpected usb ack #5\n"
                                  "Error: waiting for ack #4\n",
                                  {15, 512}},
                      FailureCase{"HeaderAckWithLineEnd",
                                  100,
                                  [](sim::Loader& l) { l.LineEndOnAck(0); },
                                  "Error: unexpected usb ack #0\nError: waiting for ack #0\n",
                                  {14}},
                      FailureCase{"LastAckWithLineEnd",
                                  1000,
                                  [](sim::Loader& l) { l.LineEndOnAck(16); },
                                  std::string(kProgress512) +
                                      "Error: unexpected usb ack #16\nError: waiting for ack #15\n",
                                  {15, 512, 488}},
                      FailureCase{"TwoAcksInOneTransfer",
                                  100,
                                  [](sim::Loader& l) {
                                    l.ReplaceAck(1, "#1#2");
                                    l.DropAck(2);
                                  },
                                  "Error: unexpected usb ack #1\nError: waiting for ack #0\n",
                                  {14, 100}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(UploadTest, FileThatShrinksMeanwhileEndsTheUpload) {
  std::vector<uint8_t> image = Image(64 * 1024);
  std::string path = WriteFile(image);
  loader->SetWriteHook([path](uint32_t index) {
    if (index != 1) return;
    int rc = truncate(path.c_str(), 1000);
    (void)rc;
  });
  Outcome run = Upload(path);
  EXPECT_EQ(run.status, 2);
  const std::string end = "Error: writing to USB (0!=0)\n";
  ASSERT_GE(run.output.size(), end.size());
  EXPECT_EQ(run.output.substr(run.output.size() - end.size()), end);
  std::vector<uint8_t> received = loader->Image();
  EXPECT_LT(received.size(), image.size());
  EXPECT_TRUE(std::equal(received.begin(), received.end(), image.begin()));
  ExpectEverythingClosed();
}

}  // namespace
