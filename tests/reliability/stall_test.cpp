// A handset that stops taking data: every write is bounded, a link whose
// write timed out fails its later writes at once, and each command ends
// through its own messages and statuses well within 10 s of the stall.
#include <posixplat/testing.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/command.h"
#include "app/config.h"
#include "app/login.h"
#include "app/trace.h"
#include "app/upload.h"
#include "sim/device.h"
#include "sim/loader.h"
#include "sim/register.h"
#include "sim/shell.h"
#include "tests/reliability/stalling.h"
#include "tests/support/stdout_capture.h"
#include "usbhandler/usbhandler.h"

namespace {

using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

const long long kWriteTimeoutMs = 5000;
const long long kEndBoundMs = 10000;  // from the stall to the end of the command
// How long a test waits for a command that may hang before it frees the
// handset again to get its thread back.
const auto kHangBound = std::chrono::seconds(30);

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A firmware image of `length` bytes that passes the image check.
std::string Image(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; i++) bytes[i] = static_cast<char>(i * 7 + 3);
  bytes[4] = static_cast<char>(0x90);
  bytes[5] = 0;
  bytes[6] = 0;
  return bytes;
}

struct Outcome {
  int status = -1;
  std::string output;
  long long ms = 0;
  bool ended = false;
};

class Stall : public ::testing::Test {
 protected:
  void SetUp() override {
    posixplat::Reset();
    // Standard output is the console, as in a terminal window: the upload's
    // carriage returns, which go to the console, show in it.
    posixplat::SetConsoleOutput(STDOUT_FILENO);
    device = std::make_shared<sim::Device>();
    shell = std::make_shared<sim::Shell>();
    loader = std::make_shared<sim::Loader>();
    sim::RegisterHandset(device);
    handlesBefore = posixplat::OpenHandleCount();
  }

  void TearDown() override {
    traceEnabled = false;
    sim::UnregisterAllHandsets();
    device.reset();
    posixplat::Reset();
    if (!imagePath.empty()) unlink(imagePath.c_str());
  }

  // The shell's (3) or the loader's (7) writes stall after `after` of them.
  void StallAfter(uint8_t number, uint32_t after) {
    std::shared_ptr<sim::Function> inner = shell;
    if (number == 7) inner = loader;
    device->SetFunction(number,
                        std::make_shared<StallingFunction>(inner, device.get(), number, after));
  }

  // Runs `entry` on a thread of its own. A command that has not ended
  // within kHangBound gets its handset back so that it can end at all.
  Outcome Run(std::function<int()> entry) {
    Outcome outcome;
    StdoutCapture capture;
    Clock::time_point start = Clock::now();
    std::future<int> done = std::async(std::launch::async, entry);
    if (done.wait_for(kHangBound) != std::future_status::ready) {
      device->ClearFaults();
      ADD_FAILURE() << "the command did not end within " << kHangBound.count() << " s";
    } else {
      outcome.ended = true;
    }
    outcome.status = done.get();
    outcome.ms = MsSince(start);
    outcome.output = capture.Finish();
    // The command closed its link: nothing of it is left open or pending.
    posixplat::FlushCompletions();
    EXPECT_EQ(0, posixplat::OpenDriverHandleCount());
    EXPECT_EQ(handlesBefore, posixplat::OpenHandleCount());
    EXPECT_EQ(0, device->OpenSessions());
    EXPECT_EQ(0u, device->WritesPending(3));
    EXPECT_EQ(0u, device->WritesPending(7));
    return outcome;
  }

 public:
  static int Words(int (*entry)(int, char**), Texts words) {
    std::vector<char*> vector;
    for (std::string& w : words) vector.push_back(&w[0]);
    vector.push_back(nullptr);
    return entry(static_cast<int>(words.size()), vector.data());
  }

  std::string WriteImage(size_t length) {
    imagePath = ::testing::TempDir() + "velkor-stall-" + std::to_string(getpid()) + ".bin";
    FILE* file = fopen(imagePath.c_str(), "wb");
    EXPECT_NE(nullptr, file);
    std::string bytes = Image(length);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    return imagePath;
  }

 protected:
  std::shared_ptr<sim::Device> device;
  std::shared_ptr<sim::Shell> shell;
  std::shared_ptr<sim::Loader> loader;
  std::string imagePath;
  int handlesBefore = 0;
};

// One row: a command, the write after which its handset stops taking data,
// and how the command must end.
struct StallCase {
  const char* name;
  bool loggedIn;
  uint8_t endpoint;
  uint32_t after;  // writes the handset takes before it stalls
  std::function<int(Stall&)> command;
  const char* output;
  int status;
  Texts received;  // the writes the handset took, in order
};

void PrintTo(const StallCase& c, std::ostream* out) { *out << c.name; }

class StalledCommand : public Stall, public ::testing::WithParamInterface<StallCase> {};

TEST_P(StalledCommand, EndsWithItsMessageWithinTheBound) {
  const StallCase& c = GetParam();
  shell->SetLoggedIn(c.loggedIn);
  device->SetFunction(3, shell);
  device->SetFunction(7, loader);
  StallAfter(c.endpoint, c.after);
  Stall& fixture = *this;
  Outcome run = Run([&] { return c.command(fixture); });
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(c.output, run.output);
  EXPECT_EQ(c.status, run.status);
  // The stalled write waited its time, and no later write waited again.
  EXPECT_GE(run.ms, kWriteTimeoutMs - 100);
  EXPECT_LT(run.ms, kEndBoundMs);
  if (c.endpoint == 3) {
    EXPECT_EQ(c.received, shell->Writes());
  } else {
    std::vector<uint32_t> sizes = loader->WriteSizes();
    EXPECT_EQ(c.received.size(), sizes.size());
  }
}

int LoginCommand(Stall&) { return Stall::Words(loginCommand, {"login"}); }
int ShowCommand(Stall&) { return Stall::Words(commandCommand, {"config", "show"}); }
int ConfigCommand(Stall&) { return Stall::Words(configCommand, {"/ssid", "lab", "/prot", "sip"}); }
int Upload1000(Stall& fixture) {
  std::string path = fixture.WriteImage(1000);
  return uploadCommand(path.c_str());
}

const char kWlan[] = "config change WLANMGR0 /ssid lab\r\n";
const char kPhone[] = "config change PHONE SIG /prot sip\r\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Commands, StalledCommand,
    ::testing::Values(
        StallCase{"LoginFirstLineEnd", false, 3, 0, LoginCommand,
                  "Error: waiting for KV30 answer (login-1)\n", 2, {}},
        StallCase{"LoginUserName", false, 3, 1, LoginCommand,
                  "Error: waiting for KV30 answer (login-2)\n", 2, {"\r\n"}},
        StallCase{"LoginUserNameLineEnd", false, 3, 2, LoginCommand,
                  "Error: waiting for KV30 answer (login-2)\n", 2, {"\r\n", "admin"}},
        StallCase{"LoginPassword", false, 3, 3, LoginCommand,
                  "Error: waiting for KV30 answer (login-3)\n", 2, {"\r\n", "admin", "\r\n"}},
        StallCase{"CommandLine", true, 3, 0, ShowCommand, "", 1, {}},
        StallCase{"ConfigWlanLine", true, 3, 1, ConfigCommand,
                  "Error: waiting for KV30 answer (config wlan)\n", 2, {"\r\n"}},
        StallCase{"ConfigPhoneLine", true, 3, 2, ConfigCommand,
                  "Error: waiting for KV30 answer (config wlan)\n", 2, {"\r\n", kWlan}},
        StallCase{"ConfigWrite", true, 3, 3, ConfigCommand,
                  "Error: waiting for KV30 answer (config write)\n", 2, {"\r\n", kWlan, kPhone}},
        StallCase{"ConfigActivate", true, 3, 4, ConfigCommand,
                  "Error: waiting for KV30 answer (config-activate)\n", 2,
                  {"\r\n", kWlan, kPhone, "config write\r\n"}},
        // No answer to the closing line is awaited: its loss goes unnoticed.
        StallCase{"ConfigClosingLine", true, 3, 5, ConfigCommand, "ok (reset)\n", 0,
                  {"\r\n", kWlan, kPhone, "config write\r\n", "config activate\r\n"}},
        StallCase{"UploadHeader", false, 7, 0, Upload1000,
                  "Error: writing header to USB\n", 2, {}},
        StallCase{"UploadFirstChunk", false, 7, 1, Upload1000,
                  "Error: writing to USB (0!=512)\n", 2, {"header"}},
        StallCase{"UploadSecondChunk", false, 7, 2, Upload1000,
                  "\r    512/   1000 ( 51 %) #000008Error: writing to USB (0!=488)\n", 2,
                  {"header", "chunk 1"}}),
    [](const ::testing::TestParamInfo<StallCase>& info) { return info.param.name; });
// clang-format on

struct NoCallback : CUsbCallback {};

// The link itself: the stalled write is withdrawn after its time, and the
// next one is refused without reaching the handset.
TEST_F(Stall, ATimedOutWriteLeavesTheLinkStuck) {
  device->SetFunction(3, shell);
  device->StallWrites(3, true);
  NoCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  ASSERT_TRUE(link->Connect(3));
  ASSERT_TRUE(link->StartReceiving());
  EXPECT_FALSE(link->IsStuck());

  std::future<int> first = std::async(std::launch::async, [&] { return link->Send("held", 4); });
  if (first.wait_for(kHangBound) != std::future_status::ready) {
    device->ClearFaults();
    ADD_FAILURE() << "the write was never given up";
  }
  EXPECT_EQ(0, first.get());
  EXPECT_TRUE(link->IsStuck());
  EXPECT_EQ(0u, device->WritesPending(3));

  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, link->Send("next", 4));
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(0u, device->WritesPending(3)) << "a later write reached the handset";

  // Even once the handset takes data again, the link stays stuck.
  device->StallWrites(3, false);
  EXPECT_EQ(0, link->Send("more", 4));
  EXPECT_TRUE(shell->Writes().empty());
  link->Disconnect();
  delete link;
}

// A write the handset takes late, but within the bound, is no stall.
TEST_F(Stall, AWriteTakenLateButInTimeSucceeds) {
  device->SetFunction(3, shell);
  device->StallWrites(3, true);
  NoCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  ASSERT_TRUE(link->Connect(3));
  ASSERT_TRUE(link->StartReceiving());
  std::thread release([&] {
    device->WaitUntil([&] { return device->WritesPending(3) == 1; }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    device->StallWrites(3, false);
  });
  EXPECT_EQ(4, link->Send("late", 4));
  release.join();
  EXPECT_FALSE(link->IsStuck());
  EXPECT_EQ(5, link->Send("again", 5));
  EXPECT_EQ((Texts{"late", "again"}), shell->Writes());
  link->Disconnect();
  delete link;
}

}  // namespace
