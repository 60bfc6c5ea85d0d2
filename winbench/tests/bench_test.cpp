// The test driver and its server, as a client of the Windows API sees them:
// instances listed by the setup API, every request answered by the server's
// sessions, cancellation, the driver's count of pending requests, the
// instances going away with the server, and the mode that ignores CancelIo.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_fixture.h"
#include "usbdrv/requests.h"
#include "tests/support/loopback/loopback_device.h"

namespace winbench {
namespace {

const DWORD kWaitMs = 10000;

std::shared_ptr<LoopbackDevice> Loopback(uint16_t product = 1, uint8_t configuration = 1) {
  return std::make_shared<LoopbackDevice>(0x1209, product, configuration);
}

// A read of `size` bytes started on `handle`.
struct Read {
  Read(HANDLE handle, DWORD size) : handle(handle), data(size) {
    started = ReadFile(handle, data.data(), size, nullptr, &overlapped.record);
    error = started ? 0 : GetLastError();
  }
  // Waits for the end; 0 or the read's error.
  DWORD Finish(DWORD timeoutMs = kWaitMs) {
    if (WaitForSingleObject(overlapped.record.hEvent, timeoutMs) != WAIT_OBJECT_0)
      return WAIT_TIMEOUT;
    return GetOverlappedResult(handle, &overlapped.record, &count, FALSE) ? 0 : GetLastError();
  }
  bool StillPending(DWORD forMs) {
    return WaitForSingleObject(overlapped.record.hEvent, forMs) == WAIT_TIMEOUT;
  }
  HANDLE handle;
  Overlapped overlapped;
  std::vector<char> data;
  BOOL started;
  DWORD error;
  DWORD count = 0;
};

DWORD WriteAll(HANDLE handle, const std::string& bytes, DWORD* written) {
  Overlapped overlapped;
  *written = 0;
  if (WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr,
                &overlapped.record))
    return GetOverlappedResult(handle, &overlapped.record, written, FALSE) ? 0 : GetLastError();
  DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) return error;
  return GetOverlappedResult(handle, &overlapped.record, written, TRUE) ? 0 : GetLastError();
}

TEST_F(BenchTest, ListsOneInterfacePerInstanceInOrderWhileServing) {
  Serve({Loopback(1), Loopback(2)});
  const std::string first = InterfacePath(kTestClass, 0);
  const std::string second = InterfacePath(kTestClass, 1);
  DWORD error = 0;
  EXPECT_EQ("", InterfacePath(kTestClass, 2, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), error);
  EXPECT_EQ(0u, first.find("\\\\?\\root#velkorbench#0000#{6d3c1f0e-2b7a-4c55-9e41-0a8f3d62b117}"))
      << first;
  EXPECT_NE(first, second);
  for (DWORD index = 0; index < 2; index++) {
    HANDLE handle = Open(index);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    uint8_t request[8] = {0, 0, 0, 0, USBDRV_DESCRIPTOR_TYPE_DEVICE, 0, 0, 0};
    uint8_t descriptor[18] = {};
    DWORD returned = 0;
    ASSERT_EQ(0u, Control(handle, USBDRV_REQUEST_GET_DESCRIPTOR, request, sizeof request,
                          descriptor, sizeof descriptor, &returned));
    EXPECT_EQ(18u, returned);
    EXPECT_EQ(index + 1, descriptor[10] | (descriptor[11] << 8u)) << "instance " << index;
  }
  EXPECT_TRUE(StopServer());
  EXPECT_EQ("", InterfacePath(kTestClass, 0, &error)) << "listed after the server ended";
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), error);
}

TEST_F(BenchTest, ControlRequestsReachTheSessionAndPend) {
  auto device = Loopback(7, 0);
  Serve({device});
  HANDLE handle = Open(0);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);

  uint8_t info[12];
  std::memset(info, 0xCC, sizeof info);
  DWORD returned = 0;
  bool pended = false;
  ASSERT_EQ(0u, Control(handle, USBDRV_REQUEST_DRIVER_INFO, nullptr, 0, info, sizeof info,
                        &returned, &pended));
  EXPECT_TRUE(pended) << "the driver answers nothing itself";
  EXPECT_EQ(12u, returned);
  EXPECT_EQ(USBDRV_INTERFACE_VERSION, info[0] | (info[1] << 8u));

  uint8_t value = 0xFF;
  ASSERT_EQ(0u,
            Control(handle, USBDRV_REQUEST_GET_CONFIGURATION, nullptr, 0, &value, 1, &returned));
  EXPECT_EQ(1u, returned);
  EXPECT_EQ(0, value);
  uint8_t record[USBDRV_CONFIGURATION_RECORD_SIZE] = {};
  record[2] = 1;
  ASSERT_EQ(0u,
            Control(handle, USBDRV_REQUEST_SET_CONFIGURATION, record, sizeof record, nullptr, 0));
  EXPECT_EQ(1, device->SetConfigurationRequests());
  ASSERT_EQ(0u,
            Control(handle, USBDRV_REQUEST_GET_CONFIGURATION, nullptr, 0, &value, 1, &returned));
  EXPECT_EQ(1, value);
}

TEST_F(BenchTest, RequestsTheSessionRefuseFailWithTheirStatus) {
  Serve({Loopback()});
  HANDLE unbound = Open(0);
  HANDLE out = Open(0);
  ASSERT_NE(INVALID_HANDLE_VALUE, unbound);
  ASSERT_NE(INVALID_HANDLE_VALUE, out);
  ASSERT_EQ(0u, Bind(out, 0x01));
  uint8_t request[8] = {0, 0, 0, 0, USBDRV_DESCRIPTOR_TYPE_DEVICE, 0, 0, 0};
  uint8_t descriptor[18];
  uint8_t address = 0x81;
  struct Case {
    const char* name;
    HANDLE handle;
    DWORD code;
    const void* in;
    DWORD inSize;
    void* out;
    DWORD outSize;
    DWORD expected;
  } cases[] = {
      {"unknown request code", unbound, 0x80942FFC, nullptr, 0, nullptr, 0,
       USBDRV_ERROR_INVALID_FUNCTION},
      {"short descriptor record", unbound, USBDRV_REQUEST_GET_DESCRIPTOR, request, 4, descriptor,
       sizeof descriptor, USBDRV_ERROR_INVALID_PARAMETER},
      {"driver information without room", unbound, USBDRV_REQUEST_DRIVER_INFO, nullptr, 0,
       descriptor, 4, USBDRV_ERROR_INSUFFICIENT_BUFFER},
      {"abort on an unbound handle", unbound, USBDRV_REQUEST_ABORT_ENDPOINT, nullptr, 0, nullptr, 0,
       USBDRV_STATUS_FAILED},
      {"a second bind", out, USBDRV_REQUEST_BIND_ENDPOINT, &address, 1, nullptr, 0,
       USBDRV_STATUS_FAILED},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Control(c.handle, c.code, c.in, c.inSize, c.out, c.outSize)) << c.name;
  }
  Read readOnOut(out, 16);
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), readOnOut.error);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), readOnOut.Finish())
      << "read on an OUT handle";
  Read readUnbound(unbound, 16);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), readUnbound.Finish())
      << "read before a bind";
}

TEST_F(BenchTest, AReadWaitsForAWriteOnTheSameInstance) {
  Serve({Loopback()});
  HANDLE in = Open(0);
  HANDLE out = Open(0);
  ASSERT_EQ(0u, Bind(in, 0x83));
  ASSERT_EQ(0u, Bind(out, 0x03));
  Read read(in, 64);
  ASSERT_FALSE(read.started);
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), read.error);
  EXPECT_TRUE(read.StillPending(100));
  EXPECT_EQ(1u, State().pending[0]);
  DWORD written = 0;
  ASSERT_EQ(0u, WriteAll(out, "config show\r\n", &written));
  EXPECT_EQ(13u, written);
  ASSERT_EQ(0u, read.Finish());
  EXPECT_EQ(13u, read.count);
  EXPECT_EQ("config show\r\n", std::string(read.data.data(), read.count));
}

TEST_F(BenchTest, TheLargestTransferPassesAndALargerOneFailsAtOnce) {
  Serve({Loopback()});
  HANDLE in = Open(0);
  HANDLE out = Open(0);
  ASSERT_EQ(0u, Bind(in, 0x87));
  ASSERT_EQ(0u, Bind(out, 0x07));
  std::string bytes(WINBENCH_MAX_DATA, '\0');
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<char>(i * 13 + 7);
  DWORD written = 0;
  ASSERT_EQ(0u, WriteAll(out, bytes, &written));
  EXPECT_EQ(WINBENCH_MAX_DATA, written);
  Read read(in, WINBENCH_MAX_DATA);
  ASSERT_EQ(0u, read.Finish());
  ASSERT_EQ(WINBENCH_MAX_DATA, read.count);
  EXPECT_TRUE(bytes == std::string(read.data.data(), read.count));

  Overlapped overlapped;
  std::string larger(WINBENCH_MAX_DATA + 1, 'x');
  EXPECT_FALSE(WriteFile(out, larger.data(), static_cast<DWORD>(larger.size()), nullptr,
                         &overlapped.record));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(BenchTest, CancelIoAndTheAbortEndPendingReads) {
  Serve({Loopback()});
  HANDLE in = Open(0);
  ASSERT_EQ(0u, Bind(in, 0x83));
  Read cancelled(in, 64);
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), cancelled.error);
  ASSERT_TRUE(CancelIo(in));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), cancelled.Finish());

  Read first(in, 64);
  Read second(in, 64);
  ASSERT_TRUE(first.StillPending(50));
  EXPECT_EQ(0u, Control(in, USBDRV_REQUEST_ABORT_ENDPOINT, nullptr, 0, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), first.Finish());
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), second.Finish());
  EXPECT_TRUE(Settled());
}

TEST_F(BenchTest, WithCancelIoIgnoredOnlyTheAbortEndsARead) {
  Serve({Loopback()});
  SetMode(WINBENCH_MODE_IGNORE_CANCEL);
  EXPECT_EQ(WINBENCH_MODE_IGNORE_CANCEL, State().mode);
  HANDLE in = Open(0);
  ASSERT_EQ(0u, Bind(in, 0x83));
  Read read(in, 64);
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), read.error);
  ASSERT_TRUE(CancelIo(in));
  EXPECT_TRUE(read.StillPending(300)) << "CancelIo took effect";
  EXPECT_EQ(1u, State().pendingTotal);
  EXPECT_EQ(0u, Control(in, USBDRV_REQUEST_ABORT_ENDPOINT, nullptr, 0, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), read.Finish());
}

// Closing a handle ends what it waits for, in either mode.
class ClosingAHandle : public BenchTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ClosingAHandle, EndsItsPendingReadsAndItsSession) {
  auto device = Loopback();
  Serve({device});
  SetMode(GetParam());
  HANDLE in = Open(0);
  ASSERT_EQ(0u, Bind(in, 0x83));
  std::vector<std::unique_ptr<Read>> reads;
  for (int i = 0; i < 3; i++) reads.emplace_back(new Read(in, 32));
  ASSERT_TRUE(reads[2]->StillPending(50));
  EXPECT_EQ(3u, State().pending[0]);
  handles_.clear();
  ASSERT_TRUE(CloseHandle(in));
  EXPECT_TRUE(Settled()) << State().pendingTotal << " requests left pending";
  const DWORD start = GetTickCount();
  while (device->SessionsOpen() != 0 && GetTickCount() - start < kWaitMs) Sleep(10);
  EXPECT_EQ(0, device->SessionsOpen());
  EXPECT_EQ(0u, device->ReadsPending());
}

INSTANTIATE_TEST_SUITE_P(Modes, ClosingAHandle, ::testing::Values(0u, WINBENCH_MODE_IGNORE_CANCEL),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return std::string(info.param ? "CancelIoIgnored" : "Normal");
                         });

TEST_F(BenchTest, TheServerEndingUnplugsTheInstances) {
  Serve({Loopback()});
  HANDLE in = Open(0);
  ASSERT_EQ(0u, Bind(in, 0x83));
  Read read(in, 64);
  ASSERT_TRUE(read.StillPending(50));
  EXPECT_TRUE(StopServer());
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), read.Finish());
  // Later requests on the handle fail at once.
  Overlapped overlapped;
  char byte;
  EXPECT_FALSE(ReadFile(in, &byte, 1, nullptr, &overlapped.record));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), GetLastError());
  EXPECT_EQ(0u, State().pendingTotal);
  EXPECT_EQ(0u, State().serving);
}

class Unopenable : public usbdrv::Instance {
 public:
  std::unique_ptr<usbdrv::Session> Open() override { return nullptr; }
};

TEST_F(BenchTest, AnInstanceThatCannotBeOpenedFailsEveryRequest) {
  Serve({std::make_shared<Unopenable>()});
  // Wine completes the open without the driver, so it succeeds.
  HANDLE handle = Open(0);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  uint8_t info[12];
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE),
            Control(handle, USBDRV_REQUEST_DRIVER_INFO, nullptr, 0, info, sizeof info));
}

TEST_F(BenchTest, OneServerAtATime) {
  Serve({Loopback()});
  BenchServer second;
  std::string error;
  usbdrv::InterfaceClass otherClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_FALSE(second.Start(otherClass, {Loopback()}, &error));
  EXPECT_EQ("another server uses the test driver", error);
}

TEST_F(BenchTest, PendingRequestsAreCountedPerInstance) {
  Serve({Loopback(1), Loopback(2)});
  HANDLE in = Open(1);
  ASSERT_EQ(0u, Bind(in, 0x83));
  Read a(in, 8);
  Read b(in, 8);
  ASSERT_TRUE(b.StillPending(50));
  winbench_state state = State();
  EXPECT_EQ(1u, state.serving);
  EXPECT_EQ(2u, state.instanceCount);
  EXPECT_EQ(0u, state.pending[0]);
  EXPECT_EQ(2u, state.pending[1]);
  EXPECT_EQ(2u, state.pendingTotal);
  ASSERT_TRUE(CancelIo(in));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), a.Finish());
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), b.Finish());
  EXPECT_TRUE(Settled());
}

}  // namespace
}  // namespace winbench
