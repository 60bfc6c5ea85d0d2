#include <string.h>

#include <functional>
#include <string>

#include "usbio/usbioendpoint.h"
#include "usbio_test_util.h"

namespace {

// An endpoint on endpoint pair 3 of a configured handset.
class EndpointTest : public UsbIoTest {
 protected:
  void SetUp() override {
    UsbIoTest::SetUp();
    handset = AddDevice();
    list = List();
    ASSERT_NE(nullptr, list);
  }

  std::shared_ptr<sim::Device> handset;
  HDEVINFO list = nullptr;
};

TEST_F(EndpointTest, AttachOpensAndBindsTheAddress) {
  Probe<CUsbIoEndpoint> endpoint;
  ASSERT_EQ(0u, endpoint.AttachEndpoint(0, 0x83, list, Class()));
  EXPECT_NE(nullptr, endpoint.deviceHandle);
  auto controls = handset->Controls();
  ASSERT_FALSE(controls.empty());
  EXPECT_EQ(sim::Request::kBindEndpoint, controls.back().request);
  EXPECT_EQ(std::vector<uint8_t>{0x83}, controls.back().input);
}

TEST_F(EndpointTest, AttachOnAnOpenObjectOnlyBindsAgain) {
  AddDevice();
  Probe<CUsbIoEndpoint> endpoint;
  ASSERT_EQ(0u, endpoint.OpenInstance(0, list, Class()));
  HANDLE handle = endpoint.deviceHandle;
  // Index 1 is ignored: the held instance is bound.
  ASSERT_EQ(0u, endpoint.AttachEndpoint(1, 0x03, list, Class()));
  EXPECT_EQ(handle, endpoint.deviceHandle);
  EXPECT_EQ(1, handset->SessionsOpened());
  // The device refuses a second bind on one handle; the status is passed on.
  EXPECT_EQ(sim::kStatusFailed, endpoint.AttachEndpoint(0, 0x83, list, Class()));
  EXPECT_EQ(1, handset->SessionsOpened());
}

TEST_F(EndpointTest, FailedBindLeavesTheInstanceOpen) {
  handset->FailBind(0x83, 0xE0001000);
  Probe<CUsbIoEndpoint> endpoint;
  EXPECT_EQ(0xE0001000u, endpoint.AttachEndpoint(0, 0x83, list, Class()));
  EXPECT_NE(nullptr, endpoint.deviceHandle);
  EXPECT_EQ(1, handset->OpenSessions());
  endpoint.CloseInstance();
  EXPECT_EQ(0, handset->OpenSessions());
}

TEST_F(EndpointTest, FailedOpenIsTheAttachResult) {
  CUsbIoEndpoint endpoint;
  EXPECT_EQ(USBIO_STATUS_NO_SUCH_INSTANCE, endpoint.AttachEndpoint(1, 0x83, list, Class()));
  EXPECT_EQ(0, handset->SessionsOpened());
}

TEST_F(EndpointTest, ReadIsQueuedAndCollectedOnce) {
  CUsbIoEndpoint endpoint;
  ASSERT_EQ(0u, endpoint.AttachEndpoint(0, 0x83, list, Class()));
  BYTE memory[64];
  memset(memory, 0, sizeof(memory));
  CUsbIoBuffer buffer(memory, sizeof(memory));
  buffer.requestLength = sizeof(memory);
  ASSERT_TRUE(endpoint.SubmitRead(&buffer));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), buffer.status);
  ASSERT_TRUE(handset->WaitUntil([&] { return handset->ReadsPending(3) == 1; }, kWaitMs));

  handset->In(3).Send("hello", 5);
  EXPECT_EQ(0u, endpoint.AwaitTransfer(&buffer, kWaitMs));
  EXPECT_EQ(0u, buffer.status);
  EXPECT_EQ(5u, buffer.actualLength);
  EXPECT_EQ("hello", std::string(reinterpret_cast<char*>(memory), 5));
  // Collected: the second call returns the final status without waiting.
  EXPECT_EQ(0u, endpoint.AwaitTransfer(&buffer, 0));
  EXPECT_EQ(5u, buffer.actualLength);
}

TEST_F(EndpointTest, TimedOutReadStaysQueuedUntilAborted) {
  handset->Withhold(3, true);
  CUsbIoEndpoint endpoint;
  ASSERT_EQ(0u, endpoint.AttachEndpoint(0, 0x83, list, Class()));
  BYTE memory[16];
  CUsbIoBuffer buffer(memory, sizeof(memory));
  buffer.requestLength = sizeof(memory);
  ASSERT_TRUE(endpoint.SubmitRead(&buffer));
  EXPECT_EQ(USBIO_STATUS_TIMEOUT, endpoint.AwaitTransfer(&buffer, 20));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), buffer.status);

  ASSERT_EQ(0u, endpoint.AbortEndpoint());
  DWORD status = endpoint.AwaitTransfer(&buffer, INFINITE);
  EXPECT_NE(0u, status);
  EXPECT_EQ(status, buffer.status);
  EXPECT_EQ(0u, buffer.actualLength);
  EXPECT_EQ(0u, handset->ReadsPending(3));
}

TEST_F(EndpointTest, FailedSubmissionIsReportedWithoutWaiting) {
  // Opened but never bound: every transfer fails at once.
  CUsbIoEndpoint endpoint;
  ASSERT_EQ(0u, endpoint.OpenInstance(0, list, Class()));
  BYTE memory[16];
  CUsbIoBuffer buffer(memory, sizeof(memory));
  buffer.requestLength = sizeof(memory);
  EXPECT_FALSE(endpoint.SubmitRead(&buffer));
  DWORD status = buffer.status;
  EXPECT_NE(0u, status);
  EXPECT_NE(static_cast<DWORD>(ERROR_IO_PENDING), status);
  EXPECT_EQ(status, endpoint.AwaitTransfer(&buffer, 0));
  EXPECT_EQ(status, endpoint.AwaitTransfer(&buffer, INFINITE));
}

TEST_F(EndpointTest, TransfersOnAClosedObjectFailAtOnce) {
  CUsbIoEndpoint endpoint;
  BYTE memory[4];
  CUsbIoBuffer buffer(memory, sizeof(memory));
  buffer.requestLength = sizeof(memory);
  EXPECT_FALSE(endpoint.SubmitWrite(&buffer));
  EXPECT_NE(0u, buffer.status);
  EXPECT_NE(static_cast<DWORD>(ERROR_IO_PENDING), buffer.status);
  EXPECT_EQ(buffer.status, endpoint.AwaitTransfer(&buffer, INFINITE));
  DWORD length = 4;
  EXPECT_NE(0u, endpoint.WriteBlocking(memory, &length, INFINITE));
  EXPECT_EQ(0u, length);
}

TEST_F(EndpointTest, BufferWithoutEventIsNotSubmitted) {
  CUsbIoEndpoint endpoint;
  ASSERT_EQ(0u, endpoint.AttachEndpoint(0, 0x83, list, Class()));
  BYTE memory[4];
  CUsbIoBuffer buffer(memory, sizeof(memory));
  CloseHandle(buffer.overlapped.hEvent);
  buffer.overlapped.hEvent = nullptr;
  buffer.requestLength = sizeof(memory);
  EXPECT_FALSE(endpoint.SubmitRead(&buffer));
  EXPECT_EQ(USBIO_STATUS_NO_MEMORY, buffer.status);
  EXPECT_EQ(USBIO_STATUS_NO_MEMORY, endpoint.AwaitTransfer(&buffer, INFINITE));
  EXPECT_EQ(0u, handset->ReadsPending(3));
}

// WriteBlocking reports the moved count whatever the outcome.
struct WriteCase {
  const char* name;
  std::function<void(sim::Device&)> fault;
  DWORD status;
  DWORD moved;
};

class WriteBlockingTest : public EndpointTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteBlockingTest, ReportsStatusAndMovedCount) {
  GetParam().fault(*handset);
  CUsbIoEndpoint endpoint;
  ASSERT_EQ(0u, endpoint.AttachEndpoint(0, 0x03, list, Class()));
  const char block[] = "config show\r\n";
  DWORD length = 13;
  EXPECT_EQ(GetParam().status, endpoint.WriteBlocking(block, &length, INFINITE));
  EXPECT_EQ(GetParam().moved, length);
  auto writes = handset->Writes(3);
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ(GetParam().status, writes[0].status);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, WriteBlockingTest,
    ::testing::Values(WriteCase{"Whole", [](sim::Device&) {}, 0, 13},
                      WriteCase{"Short", [](sim::Device& d) { d.ShortWrites(3, 1, 5); }, 0, 5},
                      WriteCase{"Failed",
                                [](sim::Device& d) { d.FailWrites(3, 1, ERROR_GEN_FAILURE); },
                                static_cast<DWORD>(ERROR_GEN_FAILURE), 0}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

TEST_F(EndpointTest, WriteBlockingSendsTheBytes) {
  CUsbIoEndpoint endpoint;
  ASSERT_EQ(0u, endpoint.AttachEndpoint(0, 0x03, list, Class()));
  std::string block(3000, 'x');
  block[0] = 'a';
  DWORD length = static_cast<DWORD>(block.size());
  ASSERT_EQ(0u, endpoint.WriteBlocking(block.data(), &length, INFINITE));
  EXPECT_EQ(3000u, length);
  auto bytes = handset->WrittenBytes(3);
  EXPECT_EQ(block, std::string(bytes.begin(), bytes.end()));
}

TEST_F(EndpointTest, TimedOutWriteIsWithdrawnBeforeWriteBlockingReturns) {
  handset->StallWrites(3, true);
  CUsbIoEndpoint endpoint;
  ASSERT_EQ(0u, endpoint.AttachEndpoint(0, 0x03, list, Class()));
  const char block[] = "stalled";
  DWORD length = 7;
  EXPECT_EQ(USBIO_STATUS_TIMEOUT, endpoint.WriteBlocking(block, &length, 30));
  EXPECT_EQ(0u, length);
  EXPECT_EQ(0u, handset->WritesPending(3));
  // The stall lifted, nothing is left to go through.
  handset->StallWrites(3, false);
  posixplat::FlushCompletions();
  EXPECT_TRUE(handset->WrittenBytes(3).empty());
}

}  // namespace
