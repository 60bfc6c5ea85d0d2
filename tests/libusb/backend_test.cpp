// The libusb backend against handsets on the emulated usbfs.
#include <gtest/gtest.h>
#include <usbdrv/requests.h>

#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "emulated_bus.h"
#include "emulated_device.h"
#include "libusb_backend/backend.h"
#include "scripted_handset.h"
#include "transfer_probe.h"

namespace usbfs {
namespace {

// Generous bounds for what a loaded machine does in milliseconds.
constexpr int kWaitMs = 10000;

// One bus per process; every test puts its devices at addresses of its own.
Bus& TheBus() {
  static Bus* bus = new Bus;
  return *bus;
}

int NextAddress(int count = 1) {
  static int next = 2;
  const int first = next;
  next += count;
  return first;
}

usbdrv::ConfigurationRequest FirstConfiguration() {
  usbdrv::ConfigurationRequest request;
  request.configurationIndex = 0;
  request.interfaces.push_back({0, 0, 4096});
  return request;
}

class LibusbBackend : public ::testing::Test {
 protected:
  void TearDown() override {
    sessions.clear();
    libusb_backend::Shutdown();
    const libusb_backend::Resources left = libusb_backend::LiveResources();
    EXPECT_FALSE(left.running);
    EXPECT_EQ(0, left.openDevices);
    EXPECT_EQ(0, left.transfers);
    for (auto& device : devices) {
      EXPECT_TRUE(device->WaitUntil([&] { return device->counts().clients == 0; }, kWaitMs))
          << device->node() << " is still open";
      EXPECT_EQ(0, device->counts().unknownRequests);
    }
    devices.clear();
  }

  // A scripted handset on the bus.
  std::shared_ptr<ScriptedHandset> Plug(int bus, int address, uint16_t vendor, uint16_t product,
                                        uint8_t configuration = 1) {
    auto model = std::make_shared<ScriptedHandset>(vendor, product, configuration);
    devices.push_back(std::make_unique<EmulatedDevice>(TheBus(), bus, address, model));
    EXPECT_EQ("", devices.back()->error());
    return model;
  }

  // The first listed handset, opened.
  usbdrv::Session* OpenFirst() {
    std::vector<std::shared_ptr<usbdrv::Instance>> listed = libusb_backend::ListHandsets();
    if (listed.empty()) return nullptr;
    std::unique_ptr<usbdrv::Session> session = listed[0]->Open();
    if (!session) return nullptr;
    sessions.push_back(std::move(session));
    return sessions.back().get();
  }

  usbdrv::Session* OpenBound(uint8_t address) {
    usbdrv::Session* session = OpenFirst();
    if (session == nullptr || session->BindEndpoint(address) != 0) return nullptr;
    return session;
  }

  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  std::vector<std::unique_ptr<usbdrv::Session>> sessions;
};

uint16_t Word(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

TEST_F(LibusbBackend, ListsTheKnownIdentifiersInBusOrder) {
  const int a = NextAddress(5);
  Plug(1, a + 2, 0xB4E9, 0x0002);
  Plug(2, a, 0xB4E9, 0x0004);  // a later bus comes later, whatever its address
  Plug(1, a + 3, 0x1234, 0x5678);  // not a handset
  Plug(1, a + 4, 0xB4E9, 0x0001);
  Plug(1, a + 1, 0xADDE, 0xEFBE);

  std::vector<std::shared_ptr<usbdrv::Instance>> listed = libusb_backend::ListHandsets();
  ASSERT_EQ(4u, listed.size());
  const uint16_t expected[][2] = {
      {0xADDE, 0xEFBE}, {0xB4E9, 0x0002}, {0xB4E9, 0x0001}, {0xB4E9, 0x0004}};
  for (size_t i = 0; i < listed.size(); i++) {
    std::unique_ptr<usbdrv::Session> session = listed[i]->Open();
    ASSERT_TRUE(session) << i;
    std::vector<uint8_t> descriptor(18);
    uint32_t length = 18;
    usbdrv::DescriptorRequest request;
    request.type = USBDRV_DESCRIPTOR_TYPE_DEVICE;
    ASSERT_EQ(0u, session->GetDescriptor(request, descriptor.data(), &length));
    EXPECT_EQ(expected[i][0], Word(descriptor, 8)) << i;
    EXPECT_EQ(expected[i][1], Word(descriptor, 10)) << i;
  }
}

TEST_F(LibusbBackend, DescriptorsAndConfigurationComeFromTheDevice) {
  auto model = Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  usbdrv::Session* session = OpenFirst();
  ASSERT_NE(nullptr, session);

  usbdrv::DescriptorRequest request;
  request.type = USBDRV_DESCRIPTOR_TYPE_DEVICE;
  std::vector<uint8_t> device(64);
  uint32_t length = 64;
  ASSERT_EQ(0u, session->GetDescriptor(request, device.data(), &length));
  device.resize(length);
  EXPECT_EQ(model->DeviceDescriptor(), device);

  // A short room gets the descriptor's beginning.
  length = 8;
  ASSERT_EQ(0u, session->GetDescriptor(request, device.data(), &length));
  EXPECT_EQ(8u, length);

  request.type = USBDRV_DESCRIPTOR_TYPE_CONFIGURATION;
  std::vector<uint8_t> configuration(255);
  length = 255;
  ASSERT_EQ(0u, session->GetDescriptor(request, configuration.data(), &length));
  configuration.resize(length);
  EXPECT_EQ(model->ConfigurationDescriptor(), configuration);

  // What the device does not have, it refuses.
  request.type = 3;
  request.index = 7;
  length = 255;
  EXPECT_NE(0u, session->GetDescriptor(request, configuration.data(), &length));

  uint8_t value = 0xFF;
  ASSERT_EQ(0u, session->GetConfiguration(&value));
  EXPECT_EQ(1, value);
}

TEST_F(LibusbBackend, AnUnconfiguredHandsetIsConfiguredByIndexAndThenClaimed) {
  auto model = Plug(1, NextAddress(), 0xB4E9, 0x0001, 0);
  usbdrv::Session* session = OpenFirst();
  ASSERT_NE(nullptr, session);
  EXPECT_FALSE(devices[0]->counts().claimed) << "no interface to claim yet";
  uint8_t value = 0xFF;
  ASSERT_EQ(0u, session->GetConfiguration(&value));
  EXPECT_EQ(0, value);
  EXPECT_NE(0u, session->BindEndpoint(0x83)) << "an unconfigured device has no endpoints";

  usbdrv::ConfigurationRequest second = FirstConfiguration();
  second.configurationIndex = 1;
  EXPECT_EQ(USBDRV_STATUS_INVALID_PARAMETER, session->SetConfiguration(second));

  ASSERT_EQ(0u, session->SetConfiguration(FirstConfiguration()));
  ASSERT_EQ(1u, model->ConfigurationRequests().size());
  EXPECT_EQ(0, model->ConfigurationRequests()[0].configurationIndex);
  ASSERT_EQ(0u, session->GetConfiguration(&value));
  EXPECT_EQ(1, value);
  EXPECT_TRUE(devices[0]->counts().claimed);

  // Selecting it again gives up the claim for the change and takes it back.
  ASSERT_EQ(0u, session->SetConfiguration(FirstConfiguration()));
  EXPECT_TRUE(devices[0]->counts().claimed);

  usbdrv::Session* reader = OpenBound(0x83);
  ASSERT_NE(nullptr, reader);
}

TEST_F(LibusbBackend, BindAcceptsOnlyEndpointsOfTheActiveConfiguration) {
  Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  struct Case {
    uint8_t address;
    uint32_t status;
  } cases[] = {
      {0x03, 0},
      {0x83, 0},
      {0x07, 0},
      {0x87, 0},
      {0x05, USBDRV_STATUS_INVALID_PARAMETER},
      {0x85, USBDRV_STATUS_INVALID_PARAMETER},
      {0x00, USBDRV_STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    usbdrv::Session* session = OpenFirst();
    ASSERT_NE(nullptr, session);
    EXPECT_EQ(c.status, session->BindEndpoint(c.address)) << std::hex << int(c.address);
  }
}

TEST_F(LibusbBackend, AllHandlesOnADeviceShareOneOpenedClaimedHandle) {
  Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  usbdrv::Session* inspector = OpenFirst();
  usbdrv::Session* reader = OpenBound(0x83);
  usbdrv::Session* writer = OpenBound(0x03);
  ASSERT_NE(nullptr, inspector);
  ASSERT_NE(nullptr, reader);
  ASSERT_NE(nullptr, writer);
  EXPECT_EQ(1, devices[0]->counts().clients);
  EXPECT_TRUE(devices[0]->counts().claimed);
  EXPECT_EQ(1, libusb_backend::LiveResources().openDevices);

  sessions.clear();
  EXPECT_EQ(0, libusb_backend::LiveResources().openDevices);
  EXPECT_TRUE(devices[0]->WaitUntil([&] { return devices[0]->counts().clients == 0; }, kWaitMs));
  EXPECT_TRUE(libusb_backend::LiveResources().running) << "libusb stays up until shut down";
}

TEST_F(LibusbBackend, AWriteIsAnsweredOnAQueuedRead) {
  auto model = Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  model->SetScript([](uint8_t, const std::string& written) {
    return written == "\r\n" ? std::string("user: ") : std::string();
  });
  usbdrv::Session* reader = OpenBound(0x83);
  usbdrv::Session* writer = OpenBound(0x03);
  ASSERT_NE(nullptr, reader);
  ASSERT_NE(nullptr, writer);

  std::unique_ptr<TransferProbe> read(TransferProbe::Read(0x83, 4096));
  reader->Submit(read.get());
  std::unique_ptr<TransferProbe> write(TransferProbe::Write(0x03, "\r\n"));
  writer->Submit(write.get());
  ASSERT_TRUE(write->Wait(kWaitMs));
  EXPECT_EQ(0u, write->Status());
  EXPECT_EQ(2u, write->Actual());
  ASSERT_TRUE(read->Wait(kWaitMs));
  EXPECT_EQ(0u, read->Status());
  EXPECT_EQ("user: ", read->Received());
  EXPECT_EQ(std::vector<std::string>{"\r\n"}, model->Writes(0x03));

  // A 100 000-byte stream in 512-byte writes arrives whole and in order.
  std::string image(100000, '\0');
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<char>(i * 7 + 3);
  for (size_t at = 0; at < image.size(); at += 512) {
    std::unique_ptr<TransferProbe> chunk(TransferProbe::Write(0x03, image.substr(at, 512)));
    writer->Submit(chunk.get());
    ASSERT_TRUE(chunk->Wait(kWaitMs));
    ASSERT_EQ(0u, chunk->Status());
  }
  std::string received;
  for (const std::string& w : model->Writes(0x03)) received += w;
  EXPECT_EQ("\r\n" + image, received);
  EXPECT_EQ(1 + (100000 + 511) / 512, static_cast<int>(model->Writes(0x03).size()));
}

TEST_F(LibusbBackend, AbortReturnsOnceAllThirtyTwoReadsHaveCompleted) {
  auto model = Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  usbdrv::Session* reader = OpenBound(0x83);
  ASSERT_NE(nullptr, reader);
  std::vector<std::unique_ptr<TransferProbe>> reads;
  for (int i = 0; i < 32; i++) {
    reads.emplace_back(TransferProbe::Read(0x83, 4096));
    reader->Submit(reads.back().get());
  }
  ASSERT_TRUE(devices[0]->WaitUntil([&] { return model->PendingReads() == 32; }, kWaitMs));

  reader->AbortEndpoint();
  for (auto& read : reads) {
    EXPECT_TRUE(read->Completed()) << "abort returned before every completion had run";
    EXPECT_EQ(USBDRV_ERROR_OPERATION_ABORTED, read->Status());
    EXPECT_EQ(0u, read->Actual());
  }
  EXPECT_EQ(0, model->PendingReads());
  EXPECT_EQ(32, devices[0]->counts().discarded);
  EXPECT_EQ(0, libusb_backend::LiveResources().transfers);

  // The endpoint works on afterwards.
  std::unique_ptr<TransferProbe> next(TransferProbe::Read(0x83, 4096));
  reader->Submit(next.get());
  model->Push(0x83, "RING\r\n");
  ASSERT_TRUE(next->Wait(kWaitMs));
  EXPECT_EQ("RING\r\n", next->Received());
}

TEST_F(LibusbBackend, AbortEndsOnlyItsOwnHandlesTransfers) {
  auto model = Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  usbdrv::Session* mine = OpenBound(0x83);
  usbdrv::Session* other = OpenBound(0x87);
  ASSERT_NE(nullptr, mine);
  ASSERT_NE(nullptr, other);
  std::unique_ptr<TransferProbe> read(TransferProbe::Read(0x83, 64));
  std::unique_ptr<TransferProbe> kept(TransferProbe::Read(0x87, 64));
  mine->Submit(read.get());
  other->Submit(kept.get());
  ASSERT_TRUE(devices[0]->WaitUntil([&] { return model->PendingReads() == 2; }, kWaitMs));
  mine->AbortEndpoint();
  EXPECT_TRUE(read->Completed());
  EXPECT_FALSE(kept->Completed());
  model->Push(0x87, "#0");
  ASSERT_TRUE(kept->Wait(kWaitMs));
  EXPECT_EQ("#0", kept->Received());
}

TEST_F(LibusbBackend, CancelEndsOneReadAndLeavesTheOthers) {
  auto model = Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  usbdrv::Session* reader = OpenBound(0x83);
  ASSERT_NE(nullptr, reader);
  std::unique_ptr<TransferProbe> first(TransferProbe::Read(0x83, 64));
  std::unique_ptr<TransferProbe> second(TransferProbe::Read(0x83, 64));
  reader->Submit(first.get());
  reader->Submit(second.get());
  ASSERT_TRUE(devices[0]->WaitUntil([&] { return model->PendingReads() == 2; }, kWaitMs));
  reader->Cancel(first.get());
  ASSERT_TRUE(first->Wait(kWaitMs));
  EXPECT_EQ(USBDRV_ERROR_OPERATION_ABORTED, first->Status());
  EXPECT_FALSE(second->Completed());
  model->Push(0x83, "$ ");
  ASSERT_TRUE(second->Wait(kWaitMs));
  EXPECT_EQ("$ ", second->Received());
  reader->Cancel(first.get());  // completed already: nothing happens
  EXPECT_EQ(1, first->Calls());
}

// How the device's failures reach the driver: every one counts towards the
// read loop's error limit (neither success nor "powered down").
TEST_F(LibusbBackend, DeviceFailuresBecomeDriverFailures) {
  auto model = Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  usbdrv::Session* reader = OpenBound(0x83);
  ASSERT_NE(nullptr, reader);
  struct Case {
    const char* name;
    uint32_t modelStatus;  // what the device model ends the read with
    uint32_t driverStatus;
  } cases[] = {
      {"stall", USBDRV_STATUS_FAILED, USBDRV_STATUS_FAILED},
      {"bus error", USBDRV_STATUS_POWERED_DOWN, USBDRV_ERROR_GEN_FAILURE},
      {"time-out on the bus", USBDRV_STATUS_TIMEOUT, USBDRV_ERROR_GEN_FAILURE},
      {"device gone", USBDRV_ERROR_DEVICE_NOT_CONNECTED, USBDRV_ERROR_DEVICE_NOT_CONNECTED},
  };
  for (const Case& c : cases) {
    std::unique_ptr<TransferProbe> read(TransferProbe::Read(0x83, 64));
    reader->Submit(read.get());
    model->FailReads(1, c.modelStatus);
    ASSERT_TRUE(read->Wait(kWaitMs)) << c.name;
    EXPECT_EQ(c.driverStatus, read->Status()) << c.name;
    EXPECT_NE(0u, read->Status()) << c.name;
    EXPECT_NE(USBDRV_STATUS_POWERED_DOWN, read->Status()) << c.name;
  }
}

TEST_F(LibusbBackend, APulledOutHandsetFailsPendingAndLaterTransfersAtOnce) {
  auto model = Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  usbdrv::Session* reader = OpenBound(0x83);
  usbdrv::Session* writer = OpenBound(0x03);
  ASSERT_NE(nullptr, reader);
  ASSERT_NE(nullptr, writer);
  std::vector<std::unique_ptr<TransferProbe>> reads;
  for (int i = 0; i < 8; i++) {
    reads.emplace_back(TransferProbe::Read(0x83, 4096));
    reader->Submit(reads.back().get());
  }
  ASSERT_TRUE(devices[0]->WaitUntil([&] { return model->PendingReads() == 8; }, kWaitMs));

  devices[0]->Unplug();
  for (auto& read : reads) {
    ASSERT_TRUE(read->Wait(kWaitMs));
    EXPECT_EQ(USBDRV_ERROR_DEVICE_NOT_CONNECTED, read->Status());
  }
  // Later transfers fail inside Submit, without waiting for anything.
  std::unique_ptr<TransferProbe> write(TransferProbe::Write(0x03, "\r\n"));
  writer->Submit(write.get());
  EXPECT_TRUE(write->Completed());
  EXPECT_NE(0u, write->Status());
  std::unique_ptr<TransferProbe> read(TransferProbe::Read(0x83, 4096));
  reader->Submit(read.get());
  EXPECT_TRUE(read->Completed());
  EXPECT_NE(0u, read->Status());
  uint8_t value;
  EXPECT_NE(0u, writer->GetConfiguration(&value));
  reader->AbortEndpoint();

  // The handset is no longer listed.
  EXPECT_TRUE(devices[0]->WaitUntil(
      [] { return libusb_backend::ListHandsets().empty(); }, kWaitMs));
}

TEST_F(LibusbBackend, AHandsetThatCannotBeOpenedGivesNoSession) {
  Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  devices[0]->RefuseOpen();
  std::vector<std::shared_ptr<usbdrv::Instance>> listed = libusb_backend::ListHandsets();
  ASSERT_EQ(1u, listed.size()) << "it is still on the bus";
  EXPECT_EQ(nullptr, listed[0]->Open());
  EXPECT_EQ(0, libusb_backend::LiveResources().openDevices);
}

TEST_F(LibusbBackend, AHandsetClaimedByAnotherProcessGivesNoSessionUntilReleased) {
  Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  Child holder;
  ASSERT_TRUE(holder.Start({BACKEND_CHILD, "hold"}));
  ASSERT_TRUE(holder.WaitForOutput("open\n", kWaitMs)) << holder.output() << holder.errors();
  EXPECT_TRUE(devices[0]->counts().claimed);

  std::vector<std::shared_ptr<usbdrv::Instance>> listed = libusb_backend::ListHandsets();
  ASSERT_EQ(1u, listed.size());
  EXPECT_EQ(nullptr, listed[0]->Open());
  EXPECT_EQ(0, libusb_backend::LiveResources().openDevices) << "the refused handle is closed";

  holder.CloseInput();
  EXPECT_EQ(0, holder.Wait(kWaitMs)) << holder.errors();
  ASSERT_TRUE(devices[0]->WaitUntil([&] { return devices[0]->counts().clients == 0; }, kWaitMs));
  std::unique_ptr<usbdrv::Session> session = listed[0]->Open();
  EXPECT_TRUE(session);
}

TEST_F(LibusbBackend, ShutdownEndsPendingTransfersAndEveryResource) {
  auto model = Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  usbdrv::Session* reader = OpenBound(0x83);
  ASSERT_NE(nullptr, reader);
  std::vector<std::unique_ptr<TransferProbe>> reads;
  for (int i = 0; i < 4; i++) {
    reads.emplace_back(TransferProbe::Read(0x83, 4096));
    reader->Submit(reads.back().get());
  }
  ASSERT_TRUE(devices[0]->WaitUntil([&] { return model->PendingReads() == 4; }, kWaitMs));

  libusb_backend::Shutdown();
  for (auto& read : reads) {
    EXPECT_TRUE(read->Completed());
    EXPECT_EQ(USBDRV_ERROR_OPERATION_ABORTED, read->Status());
  }
  libusb_backend::Resources left = libusb_backend::LiveResources();
  EXPECT_FALSE(left.running);
  EXPECT_EQ(0, left.openDevices);
  EXPECT_EQ(0, left.transfers);
  ASSERT_TRUE(devices[0]->WaitUntil([&] { return devices[0]->counts().clients == 0; }, kWaitMs));

  // The session outlives libusb: it fails at once.
  std::unique_ptr<TransferProbe> late(TransferProbe::Read(0x83, 4096));
  reader->Submit(late.get());
  EXPECT_TRUE(late->Completed());
  EXPECT_NE(0u, late->Status());

  // And libusb starts again when asked.
  EXPECT_EQ(1u, libusb_backend::ListHandsets().size());
  EXPECT_TRUE(libusb_backend::LiveResources().running);
}

TEST_F(LibusbBackend, AProcessThatExitsWithReadsPendingEndsThemFirst) {
  Plug(1, NextAddress(), 0xADDE, 0xEFBE);
  Child child;
  ASSERT_TRUE(child.Start({BACKEND_CHILD, "reads", "32"}));
  EXPECT_EQ(0, child.Wait(kWaitMs)) << child.errors();
  EXPECT_EQ("submitted\ncompleted 32 of 32, status 995\n", child.output());
  EXPECT_EQ("", child.errors());
  // Cancelled one by one before the process closed the device.
  EXPECT_EQ(32, devices[0]->counts().discarded);
  EXPECT_TRUE(devices[0]->WaitUntil([&] { return devices[0]->counts().clients == 0; }, kWaitMs));
  EXPECT_EQ(0, devices[0]->counts().inFlight);
}

}  // namespace
}  // namespace usbfs
