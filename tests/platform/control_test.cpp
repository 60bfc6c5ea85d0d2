// The driver's control requests, completed at once or pending.
#include <string.h>

#include "driver_fixture.h"

namespace platformtest {
namespace {

class ControlTest : public DriverTest,
                    public ::testing::WithParamInterface<posixplat::ControlCompletion> {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    posixplat::SetControlCompletion(path, GetParam());
  }
};

TEST_P(ControlTest, DriverInfoReportsTheInterfaceVersion) {
  HANDLE handle = Open();
  uint8_t info[12];
  memset(info, 0xCC, sizeof info);
  DWORD bytes = 0;
  ASSERT_EQ(0u, Request(handle, kDriverInfo, nullptr, 0, info, sizeof info, &bytes));
  EXPECT_EQ(12u, bytes);
  EXPECT_EQ(0x00, info[0]);
  EXPECT_EQ(0x02, info[1]);
  EXPECT_EQ(0x00, info[11]);
}

TEST_P(ControlTest, DescriptorIsCutToTheOutputLength) {
  HANDLE handle = Open();
  state->descriptor = {18, 1, 0, 2, 0, 0, 0, 64, 0xDE, 0xAD, 0xBE, 0xEF};
  const uint8_t request[8] = {0, 0, 0, 0, 1, 0, 0, 0};
  uint8_t out[18] = {};
  DWORD bytes = 0;
  ASSERT_EQ(0u, Request(handle, kGetDescriptor, request, 8, out, 10, &bytes));
  EXPECT_EQ(10u, bytes);
  EXPECT_EQ(0xDE, out[8]);
  EXPECT_EQ(0x00, out[10]);
  ASSERT_EQ(0u, Request(handle, kGetDescriptor, request, 8, out, 18, &bytes));
  EXPECT_EQ(12u, bytes);
  EXPECT_EQ(0xEF, out[11]);
}

TEST_P(ControlTest, SetConfigurationPassesTheRecordAndGetConfigurationReadsIt) {
  HANDLE handle = Open();
  uint8_t value = 0xFF;
  ASSERT_EQ(0u, Request(handle, kGetConfiguration, nullptr, 0, &value, 1));
  EXPECT_EQ(0, value);
  uint8_t record[260] = {};
  record[2] = 1;     // one interface entry
  record[9] = 0x10;  // maximum transfer size 4096
  ASSERT_EQ(0u, Request(handle, kSetConfiguration, record, sizeof record, nullptr, 0));
  ASSERT_EQ(260u, state->lastConfigurationRecord.size());
  EXPECT_EQ(0, memcmp(record, state->lastConfigurationRecord.data(), 260));
  ASSERT_EQ(0u, Request(handle, kGetConfiguration, nullptr, 0, &value, 1));
  EXPECT_EQ(1, value);
}

TEST_P(ControlTest, DeviceFailureIsTheRequestsError) {
  HANDLE handle = Open();
  state->requestStatus = 0xE000100C;
  uint8_t value = 0;
  EXPECT_EQ(0xE000100Cu, Request(handle, kGetConfiguration, nullptr, 0, &value, 1));
  state->bindStatus = 0xE0001000;
  const uint8_t address = 0x83;
  EXPECT_EQ(0xE0001000u, Request(handle, kBindEndpoint, &address, 1, nullptr, 0));
  // A failed bind leaves the handle unbound.
  OVERLAPPED overlapped{};
  overlapped.hEvent = Event();
  uint8_t buffer[4];
  EXPECT_FALSE(ReadFile(handle, buffer, 4, nullptr, &overlapped));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
}

TEST_P(ControlTest, PendingModeLeavesTheRequestPendingUntilTheCompletionThreadRuns) {
  HANDLE handle = Open();
  HANDLE event = Event();
  SetEvent(event);
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  uint8_t value = 0;
  DWORD bytes = 0;
  const BOOL done =
      DeviceIoControl(handle, kGetConfiguration, nullptr, 0, &value, 1, &bytes, &overlapped);
  if (GetParam() == posixplat::ControlCompletion::kImmediate) {
    EXPECT_TRUE(done);
    EXPECT_EQ(1u, bytes);
  } else {
    EXPECT_FALSE(done);
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  }
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 10000));
  EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &bytes, FALSE));
  EXPECT_EQ(1u, bytes);
}

struct LengthCase {
  const char* name;
  DWORD code;
  DWORD inSize;
  DWORD outSize;
  DWORD error;
};

TEST_P(ControlTest, LengthsAreCheckedBeforeTheDeviceSeesTheRequest) {
  const LengthCase cases[] = {
      {"driver info, short output", kDriverInfo, 0, 11, ERROR_INSUFFICIENT_BUFFER},
      {"descriptor, short input", kGetDescriptor, 7, 18, ERROR_INVALID_PARAMETER},
      {"descriptor, no output", kGetDescriptor, 8, 0, ERROR_INVALID_PARAMETER},
      {"get configuration, no room", kGetConfiguration, 0, 0, ERROR_INSUFFICIENT_BUFFER},
      {"set configuration, short record", kSetConfiguration, 259, 0, ERROR_INVALID_PARAMETER},
      {"bind, no address", kBindEndpoint, 0, 0, ERROR_INVALID_PARAMETER},
      {"unknown request", 0x80942000, 0, 0, ERROR_INVALID_FUNCTION},
  };
  HANDLE handle = Open();
  uint8_t in[300] = {};
  uint8_t out[300] = {};
  for (const LengthCase& c : cases) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = Event();
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(handle, c.code, in, c.inSize, out, c.outSize, &bytes, &overlapped))
        << c.name;
    EXPECT_EQ(c.error, GetLastError()) << c.name;
  }
  // Too many interface entries in the configuration record.
  in[2] = 33;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            Request(handle, kSetConfiguration, in, 260, nullptr, 0));
  EXPECT_TRUE(state->lastConfigurationRecord.empty());
  EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, kAbortEndpoint, nullptr, 0, nullptr, 0,
                               nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_P(ControlTest, RequestWithoutOverlappedRecordCompletesAtOnce) {
  HANDLE handle = Open();
  uint8_t value = 9;
  DWORD bytes = 0;
  EXPECT_TRUE(DeviceIoControl(handle, kGetConfiguration, nullptr, 0, &value, 1, &bytes, nullptr));
  EXPECT_EQ(0, value);
  EXPECT_EQ(1u, bytes);
}

INSTANTIATE_TEST_SUITE_P(Completion, ControlTest,
                         ::testing::Values(posixplat::ControlCompletion::kImmediate,
                                           posixplat::ControlCompletion::kPending),
                         [](const ::testing::TestParamInfo<posixplat::ControlCompletion>& info) {
                           return info.param == posixplat::ControlCompletion::kImmediate
                                      ? "Immediate"
                                      : "Pending";
                         });

TEST_F(DriverTest, CreateFileOpensSeveralHandlesAndRefusesUnknownPaths) {
  HANDLE first = Open();
  HANDLE second = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, first);
  ASSERT_NE(INVALID_HANDLE_VALUE, second);
  EXPECT_NE(first, second);
  EXPECT_EQ(2, state->sessions.load());
  EXPECT_EQ(2, posixplat::OpenDriverHandleCount(path));

  // Paths compare without regard to case, as on Windows.
  std::string upper = path;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  std::swap(path, upper);
  EXPECT_NE(INVALID_HANDLE_VALUE, Open());
  std::swap(path, upper);

  const char* unknown = "\\\\?\\velkor#usbdrv#9999#{00000000-0000-0000-0000-000000000000}";
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(unknown, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  state->openable = false;
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open());
  EXPECT_EQ(3, posixplat::OpenDriverHandleCount(path));
}

TEST_F(DriverTest, UnregisteredInstanceStaysOpenableWhileAHandleHoldsIt) {
  HANDLE handle = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  posixplat::UnregisterInstance(id);
  EXPECT_EQ("", posixplat::DevicePath(id));
  EXPECT_NE(INVALID_HANDLE_VALUE, Open());
  uint8_t value = 1;
  EXPECT_EQ(0u, Request(handle, kGetConfiguration, nullptr, 0, &value, 1));
  for (HANDLE h : handles) CloseHandle(h);
  handles.clear();
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

}  // namespace
}  // namespace platformtest
