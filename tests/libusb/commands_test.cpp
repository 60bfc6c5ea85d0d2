// velkor's commands end to end over the driver stand-in of this process and
// the libusb backend, against a simulated handset on the emulated usbfs.
#include <gtest/gtest.h>
#include <posixplat/testing.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/command.h"
#include "app/config.h"
#include "app/login.h"
#include "app/trace.h"
#include "app/upload.h"
#include "child.h"
#include "emulated_device.h"
#include "libusb_backend/backend.h"
#include "tests/support/stdout_capture.h"
#include "usb_bus.h"
#include "usbhandler/kv30ids.h"
#include "usbhandler/usbhandler.h"

namespace usbfs {
namespace {

constexpr int kWaitMs = 10000;
using Texts = std::vector<std::string>;
const Texts kLoginWrites = {"\r\n", "admin", "\r\n", "kv30", "\r\n"};

struct Outcome {
  int status;
  std::string output;
  long long ms;
};

std::string Image(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; i++) bytes[i] = static_cast<char>(i * 13 + 1);
  bytes[4] = '\x90';
  bytes[5] = 0;
  bytes[6] = 0;
  return bytes;
}

class OverUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    posixplat::Reset();
    // Standard output is the console here, as in a terminal window: the
    // carriage return before each progress line, which goes to the console,
    // shows in it.
    posixplat::SetConsoleOutput(STDOUT_FILENO);
    handlesBefore = posixplat::OpenHandleCount();
  }

  void TearDown() override {
    traceEnabled = false;
    libusb_backend::Shutdown();
    const libusb_backend::Resources left = libusb_backend::LiveResources();
    EXPECT_EQ(0, left.openDevices);
    EXPECT_EQ(0, left.transfers);
    for (auto& usb : plugged) EXPECT_EQ(0, usb->counts().unknownRequests);
    plugged.clear();
    for (const std::string& path : files) unlink(path.c_str());
    posixplat::Reset();
  }

  // Puts a handset on the bus at the next address.
  EmulatedDevice& Plug(const std::shared_ptr<sim::Device>& device) {
    plugged.push_back(std::make_unique<EmulatedDevice>(TheBus(), 1, NextAddress(), device));
    EXPECT_EQ("", plugged.back()->error());
    return *plugged.back();
  }

  Outcome Run(int (*entry)(int, char**), const Texts& words) {
    std::vector<std::vector<char>> storage;
    for (const std::string& w : words) storage.emplace_back(w.c_str(), w.c_str() + w.size() + 1);
    std::vector<char*> vector;
    for (std::vector<char>& s : storage) vector.push_back(s.data());
    vector.push_back(nullptr);
    StdoutCapture capture;
    const auto start = std::chrono::steady_clock::now();
    const int status = entry(static_cast<int>(words.size()), vector.data());
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    Outcome outcome{status, capture.Finish(), ms};
    ExpectLinkClosed();
    return outcome;
  }

  Outcome Upload(const std::string& image) {
    char path[] = "/tmp/velkor-libusb-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(static_cast<ssize_t>(image.size()), write(fd, image.data(), image.size()));
    close(fd);
    files.push_back(path);
    StdoutCapture capture;
    const auto start = std::chrono::steady_clock::now();
    const int status = uploadCommand(path);
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    Outcome outcome{status, capture.Finish(), ms};
    ExpectLinkClosed();
    return outcome;
  }

  // The command closed its link: no driver handle, and the libusb handle
  // went with the last of them (the device's file is closed).
  void ExpectLinkClosed() {
    posixplat::FlushCompletions();
    EXPECT_EQ(0, posixplat::OpenDriverHandleCount());
    EXPECT_EQ(handlesBefore, posixplat::OpenHandleCount());
    // The libusb handle goes with the last completion, on the event thread.
    EXPECT_TRUE(plugged.empty() || plugged[0]->WaitUntil(
        [] { return libusb_backend::LiveResources().openDevices == 0; }, kWaitMs));
    // Its model sessions end once the device's file is closed.
    for (auto& usb : plugged) {
      EXPECT_TRUE(usb->WaitUntil([&] { return usb->counts().sessions == 0; }, kWaitMs))
          << usb->node();
    }
  }

  SimHandset handset;
  std::vector<std::unique_ptr<EmulatedDevice>> plugged;
  std::vector<std::string> files;
  int handlesBefore = 0;
};

TEST(UsbIdentity, TheBackendListsTheProgramsInterfaceClassAndIdentifiers) {
  const usbdrv::InterfaceClass& listed = libusb_backend::kInterfaceClass;
  EXPECT_EQ(KV30_INTERFACE_CLASS_GUID.Data1, listed.data1);
  EXPECT_EQ(KV30_INTERFACE_CLASS_GUID.Data2, listed.data2);
  EXPECT_EQ(KV30_INTERFACE_CLASS_GUID.Data3, listed.data3);
  EXPECT_EQ(0, memcmp(KV30_INTERFACE_CLASS_GUID.Data4, listed.data4, 8));
  ASSERT_EQ(KV30_DEVICE_ID_COUNT, libusb_backend::kHandsetIdCount);
  for (int i = 0; i < KV30_DEVICE_ID_COUNT; i++) {
    EXPECT_EQ(KV30_DEVICE_IDS[i].idVendor, libusb_backend::kHandsetIds[i].vendor) << i;
    EXPECT_EQ(KV30_DEVICE_IDS[i].idProduct, libusb_backend::kHandsetIds[i].product) << i;
  }
}

TEST_F(OverUsb, LoginConfiguresTheUnconfiguredHandsetAndLogsIn) {
  Plug(handset.device);
  Outcome run = Run(loginCommand, {"login"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.output);
  EXPECT_TRUE(handset.shell->LoggedIn());
  EXPECT_EQ(kLoginWrites, handset.shell->Writes());
  // Configuration index 0 became the device's bConfigurationValue, once.
  EXPECT_EQ(1u, handset.device->SetConfigurationRequests().size());
  EXPECT_EQ(sim::kConfigurationValue, handset.device->ConfigurationValue());
}

TEST_F(OverUsb, CommandShowsTheOutputUntilThePrompt) {
  handset.shell->SetLoggedIn(true);
  handset.shell->SetReply("config show",
                          {"WLANMGR0 /ssid lab\r\n", "PHONE SIG /e164 501\r\n", "$ "});
  Plug(handset.device);
  Outcome run = Run(commandCommand, {"config", "show"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("WLANMGR0 /ssid lab\r\n\nPHONE SIG /e164 501\r\n\n$ \n", run.output);
  EXPECT_EQ(Texts{"config show\r\n"}, handset.shell->Writes());
}

TEST_F(OverUsb, ConfigThatNeedsAResetResetsTheHandset) {
  Plug(handset.device);
  Outcome run = Run(configCommand, {"/ssid", "lab", "/cipher", "none", "/prot", "sip", "/e164", "501"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("ok (reset)\n", run.output);
  Texts expected = kLoginWrites;
  for (const char* line : {"config change WLANMGR0 /ssid lab /cipher none\r\n",
                           "config change PHONE SIG /prot sip /e164 501\r\n", "config write\r\n",
                           "config activate\r\n", "reset\r\n"}) {
    expected.push_back(line);
  }
  EXPECT_EQ(expected, handset.shell->Writes());
  EXPECT_EQ((Texts{"WLANMGR0 /ssid lab", "WLANMGR0 /cipher none", "PHONE SIG /prot sip",
                   "PHONE SIG /e164 501"}),
            handset.shell->Settings());
}

TEST_F(OverUsb, ConfigWithoutResetLeavesTheShell) {
  Plug(handset.device);
  Outcome run = Run(configCommand, {"/power-mode", "short-doze"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("ok\n", run.output);
  Texts expected = kLoginWrites;
  for (const char* line : {"config change WLANMGR0 /power-mode short-doze\r\n",
                           "config write\r\n", "config activate\r\n", "exit\r\n"}) {
    expected.push_back(line);
  }
  EXPECT_EQ(expected, handset.shell->Writes());
}

TEST_F(OverUsb, UploadOf1000BytesDeliversTheImage) {
  Plug(handset.device);
  const std::string image = Image(1000);
  Outcome run = Upload(image);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("\r    512/   1000 ( 51 %) #000008\r   1000/   1000 (100 %) #000016\nok\n",
            run.output);
  EXPECT_EQ("! upload  1000", handset.loader->Header());
  const std::vector<uint8_t> received = handset.loader->Image();
  EXPECT_TRUE(std::string(received.begin(), received.end()) == image) << "the image differs";
}

TEST_F(OverUsb, UploadOf100000BytesDeliversTheImage) {
  Plug(handset.device);
  const std::string image = Image(100000);
  Outcome run = Upload(image);
  EXPECT_EQ(0, run.status);
  const std::string last = "\r 100000/ 100000 (100 %) #001563\nok\n";
  ASSERT_GE(run.output.size(), last.size());
  EXPECT_EQ(last, run.output.substr(run.output.size() - last.size()));
  EXPECT_EQ(196u, std::count(run.output.begin(), run.output.end(), '\r'))
      << "one progress line per chunk";
  const std::vector<uint8_t> received = handset.loader->Image();
  EXPECT_TRUE(std::string(received.begin(), received.end()) == image) << "the image differs";
}

TEST_F(OverUsb, ADroppedAcknowledgementEndsTheUploadWithStatusTwo) {
  handset.loader->DropAck(3);
  Plug(handset.device);
  Outcome run = Upload(Image(1000));
  EXPECT_EQ(2, run.status);
  // #1 and #2 count; #4 to #8 are not the #3 awaited, which never comes.
  std::string expected;
  for (int i = 0; i < 5; i++) expected += "Error: unexpected usb ack #3\n";
  EXPECT_EQ(expected + "Error: waiting for ack #2\n", run.output);
}

TEST_F(OverUsb, AHandsetPulledOutMidUploadEndsItWithinTheAcknowledgementWait) {
  // Acknowledgements #0 to #19 come; the third chunk (write 3) then waits
  // for #20, and meanwhile the handset is pulled out.
  handset.loader->StallAfter(20);
  std::mutex lock;
  std::condition_variable stalled;
  bool third = false;
  handset.loader->SetWriteHook([&](uint32_t index) {
    std::lock_guard<std::mutex> guard(lock);
    if (index == 3) third = true;
    stalled.notify_all();
  });
  EmulatedDevice& usb = Plug(handset.device);
  std::atomic<long long> unpluggedAt{0};
  std::thread puller([&] {
    std::unique_lock<std::mutex> guard(lock);
    if (stalled.wait_for(guard, std::chrono::milliseconds(kWaitMs), [&] { return third; }) &&
        usb.WaitUntil(
            [&] {
              const EmulatedDevice::Counts c = usb.counts();
              return handset.device->WritesPending(7) == 0 && c.unreaped == 0 &&
                     c.inFlight == static_cast<int>(handset.device->ReadsPending(7));
            },
            kWaitMs)) {
      // The third chunk's write has been reaped (only reads are left on the
      // bus): velkor waits for #20 now.
      guard.unlock();
      usb.Unplug();
      unpluggedAt = std::chrono::steady_clock::now().time_since_epoch() /
                    std::chrono::milliseconds(1);
    }
  });
  Outcome run = Upload(Image(100000));
  const long long endedAt =
      std::chrono::steady_clock::now().time_since_epoch() / std::chrono::milliseconds(1);
  puller.join();
  ASSERT_NE(0, unpluggedAt.load()) << "the upload never stalled";
  EXPECT_EQ(2, run.status);
  const std::string message = "Error: waiting for ack #19\n";

  ASSERT_GE(run.output.size(), message.size());
  EXPECT_EQ(message, run.output.substr(run.output.size() - message.size()));
  // The acknowledgement wait is 2 s; the command does not hang beyond it.
  EXPECT_LT(endedAt - unpluggedAt.load(), 2000 + 5000);
}

TEST_F(OverUsb, DisconnectCancelsAllThirtyTwoOutstandingReads) {
  EmulatedDevice& usb = Plug(handset.device);
  struct Quiet : CUsbCallback {
  } callback;
  auto* link = new CUsbHandler(&callback);
  ASSERT_TRUE(link->Connect(3));
  ASSERT_TRUE(link->StartReceiving());
  ASSERT_TRUE(handset.device->WaitUntil([&] { return handset.device->ReadsPending(3) == 32; },
                                        kWaitMs));
  EXPECT_EQ(0, usb.counts().discarded);
  link->Disconnect();
  delete link;
  EXPECT_EQ(0u, handset.device->ReadsPending(3));
  EXPECT_EQ(32, usb.counts().discarded) << "each read was cancelled on the bus";
  EXPECT_EQ(0, usb.counts().inFlight);
  ExpectLinkClosed();
}

TEST_F(OverUsb, AKnownDeviceThatCannotBeOpenedEndsTheSearchBeforeTheHandset) {
  auto first = std::make_shared<sim::Device>(0xB4E9, 0x0001);
  Plug(first).RefuseOpen();
  Plug(handset.device);
  Outcome run = Run(loginCommand, {"login"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("KV30 not found.", run.output);
  EXPECT_EQ(Texts{}, handset.shell->Writes());
}

TEST_F(OverUsb, AHandsetClaimedByAnotherProcessIsNotFoundUntilReleased) {
  // Configured, as the kernel leaves a handset: its interface can be claimed.
  handset.device->SetConfigurationValue(sim::kConfigurationValue);
  EmulatedDevice& usb = Plug(handset.device);
  Child holder;
  ASSERT_TRUE(holder.Start({BACKEND_CHILD, "hold"}));
  ASSERT_TRUE(holder.WaitForOutput("open\n", kWaitMs)) << holder.output() << holder.errors();
  Outcome run = Run(loginCommand, {"login"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("KV30 not found.", run.output);

  holder.CloseInput();
  EXPECT_EQ(0, holder.Wait(kWaitMs)) << holder.errors();
  ASSERT_TRUE(usb.WaitUntil([&] { return usb.counts().clients == 0; }, kWaitMs));
  run = Run(loginCommand, {"login"});
  EXPECT_EQ(0, run.status);
  EXPECT_TRUE(handset.shell->LoggedIn());
}

}  // namespace
}  // namespace usbfs
