// Overlapped ReadFile, WriteFile and DeviceIoControl on a driver's handles:
// operations that complete at once, fail at once or pend, GetOverlappedResult
// with and without waiting, and CancelIo.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host.h"

namespace conformance {
namespace {

const DWORD kLongMs = 10000;

// An overlapped record with a manual-reset event, closed with the object.
struct Record {
  Record() {
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Record() { CloseHandle(overlapped.hEvent); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  bool Signalled() { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
  OVERLAPPED overlapped;
};

struct Named {
  const char* name;
  std::function<Operation()> make;
};

void PrintTo(const Named& named, std::ostream* os) { *os << named.name; }

class CompletesAtOnce : public ::testing::TestWithParam<Named> {};

TEST_P(CompletesAtOnce, ReturnsTrueWithTheCountAndCompletesTheRecord) {
  const Operation operation = GetParam().make();
  ASSERT_NE(INVALID_HANDLE_VALUE, operation.handle);
  Record record;
  std::vector<uint8_t> output;
  DWORD count = 0xDEAD;
  ASSERT_TRUE(StartOperation(operation, &record.overlapped, &output, &count)) << GetLastError();
  EXPECT_EQ(operation.expectedCount, count);
  EXPECT_TRUE(HasOverlappedIoCompleted(&record.overlapped));
  EXPECT_EQ(operation.expectedCount, record.overlapped.InternalHigh);
  EXPECT_TRUE(record.Signalled()) << "the event is set when the operation completes at once";
  DWORD result = 0;
  EXPECT_TRUE(GetOverlappedResult(operation.handle, &record.overlapped, &result, FALSE));
  EXPECT_EQ(operation.expectedCount, result);
}

INSTANTIATE_TEST_SUITE_P(Overlapped, CompletesAtOnce,
                         ::testing::Values(Named{"Read", ImmediateRead},
                                           Named{"DeviceIoControl", ImmediateControl}),
                         [](const ::testing::TestParamInfo<Named>& info) {
                           return std::string(info.param.name);
                         });

class FailsAtOnce : public ::testing::TestWithParam<Named> {};

// A request that fails before it was started leaves its record and its
// event as they were.
TEST_P(FailsAtOnce, ReturnsFalseAndLeavesTheRecordAndTheEventAlone) {
  const Operation operation = GetParam().make();
  ASSERT_NE(INVALID_HANDLE_VALUE, operation.handle);
  Record record;
  std::vector<uint8_t> output;
  DWORD count = 0;
  ASSERT_FALSE(StartOperation(operation, &record.overlapped, &output, &count));
  EXPECT_EQ(operation.expectedError, GetLastError());
  EXPECT_FALSE(record.Signalled()) << "the event of a request that failed at once was set";
  EXPECT_FALSE(HasOverlappedIoCompleted(&record.overlapped))
      << "the record of a request that failed at once was completed";
}

INSTANTIATE_TEST_SUITE_P(Overlapped, FailsAtOnce,
                         ::testing::Values(Named{"Read", FailingRead},
                                           Named{"DeviceIoControl", FailingControl}),
                         [](const ::testing::TestParamInfo<Named>& info) {
                           return std::string(info.param.name);
                         });

// Two handles on the loopback device, bound to IN and OUT endpoint 4.
class Loopback : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    const std::string path = LoopbackPath(&error);
    ASSERT_FALSE(path.empty()) << error;
    in_ = Open(path);
    out_ = Open(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, in_);
    ASSERT_NE(INVALID_HANDLE_VALUE, out_);
    ASSERT_EQ(0u, Bind(in_, 0x84));
    ASSERT_EQ(0u, Bind(out_, 0x04));
  }
  void TearDown() override {
    if (in_ != INVALID_HANDLE_VALUE) CloseHandle(in_);
    if (out_ != INVALID_HANDLE_VALUE) CloseHandle(out_);
  }
  static HANDLE Open(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  }
  static DWORD Bind(HANDLE handle, BYTE address) {
    Record record;
    DWORD count = 0;
    if (DeviceIoControl(handle, 0x80942078, &address, 1, nullptr, 0, &count, &record.overlapped))
      return 0;
    if (GetLastError() != ERROR_IO_PENDING) return GetLastError();
    return GetOverlappedResult(handle, &record.overlapped, &count, TRUE) ? 0 : GetLastError();
  }
  // Writes and waits for the write to end; its count.
  DWORD Write(const std::string& bytes) {
    Record record;
    DWORD count = 0;
    if (!WriteFile(out_, bytes.data(), static_cast<DWORD>(bytes.size()), &count,
                   &record.overlapped)) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
      EXPECT_TRUE(GetOverlappedResult(out_, &record.overlapped, &count, TRUE));
    }
    return count;
  }
  // Starts a read that pends (nothing is waiting to be read).
  void StartPendingRead(Record* record, char* buffer, DWORD size) {
    DWORD count = 0;
    ASSERT_FALSE(ReadFile(in_, buffer, size, &count, &record->overlapped));
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  }

  HANDLE in_ = INVALID_HANDLE_VALUE;
  HANDLE out_ = INVALID_HANDLE_VALUE;
};

TEST_F(Loopback, APendingReadCompletesItsRecordWhenDataArrives) {
  Record record;
  char buffer[32] = {};
  StartPendingRead(&record, buffer, sizeof buffer);
  EXPECT_FALSE(HasOverlappedIoCompleted(&record.overlapped));
  EXPECT_FALSE(record.Signalled());
  DWORD count = 0xDEAD;
  EXPECT_FALSE(GetOverlappedResult(in_, &record.overlapped, &count, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), GetLastError());
  EXPECT_EQ(6u, Write("abcdef"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(record.overlapped.hEvent, kLongMs));
  EXPECT_TRUE(HasOverlappedIoCompleted(&record.overlapped));
  ASSERT_TRUE(GetOverlappedResult(in_, &record.overlapped, &count, FALSE));
  EXPECT_EQ(6u, count);
  EXPECT_EQ("abcdef", std::string(buffer, count));
}

TEST_F(Loopback, GetOverlappedResultWithWaitingWaitsForTheEnd) {
  Record record;
  char buffer[32] = {};
  StartPendingRead(&record, buffer, sizeof buffer);
  std::thread writer([this] {
    Sleep(100);
    Write("late");
  });
  DWORD count = 0;
  EXPECT_TRUE(GetOverlappedResult(in_, &record.overlapped, &count, TRUE));
  EXPECT_EQ(4u, count);
  writer.join();
}

// GetOverlappedResult with waiting waits for the record's event, once: an
// event set by someone else ends the wait even though the read still pends,
// and the result is that of the record as it stands.
TEST_F(Loopback, GetOverlappedResultWithWaitingWaitsOnlyForTheEvent) {
  Record record;
  char buffer[32] = {};
  StartPendingRead(&record, buffer, sizeof buffer);
  ASSERT_TRUE(SetEvent(record.overlapped.hEvent));
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    DWORD count = 0xDEAD;
    GetOverlappedResult(in_, &record.overlapped, &count, TRUE);
    returned = true;
  });
  const DWORD start = GetTickCount();
  while (!returned && GetTickCount() - start < 3000) Sleep(10);
  EXPECT_TRUE(returned.load()) << "GetOverlappedResult waited for the read as well";
  Write("x");  // ends the read in any case, so the waiter returns
  waiter.join();
  // The record must not go while the driver may still write to it.
  const DWORD written = GetTickCount();
  while (!HasOverlappedIoCompleted(&record.overlapped) && GetTickCount() - written < kLongMs)
    Sleep(1);
  ASSERT_TRUE(HasOverlappedIoCompleted(&record.overlapped));
}

TEST_F(Loopback, CancelIoEndsOnlyTheCallingThreadsRequests) {
  Record mine;
  Record theirs;
  char mineBuffer[8];
  char theirsBuffer[8];
  HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE cancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // The other thread reads its own result, as the program's read worker does.
  // Under Wine, the result of a cancelled read fetched on another thread than
  // the one that issued it was now and then reported as a success.
  BOOL theirsResult = TRUE;
  DWORD theirsError = 0;
  std::thread other([&] {
    DWORD count = 0;
    ReadFile(in_, theirsBuffer, sizeof theirsBuffer, &count, &theirs.overlapped);
    SetEvent(started);
    WaitForSingleObject(cancel, kLongMs);
    CancelIo(in_);
    theirsResult = GetOverlappedResult(in_, &theirs.overlapped, &count, TRUE);
    theirsError = GetLastError();
  });
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started, kLongMs));
  StartPendingRead(&mine, mineBuffer, sizeof mineBuffer);
  ASSERT_TRUE(CancelIo(in_));
  DWORD count = 0;
  EXPECT_FALSE(GetOverlappedResult(in_, &mine.overlapped, &count, TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(theirs.overlapped.hEvent, 200))
      << "CancelIo ended another thread's read";
  SetEvent(cancel);
  other.join();
  EXPECT_FALSE(theirsResult);
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), theirsError);
  CloseHandle(started);
  CloseHandle(cancel);
}

TEST_F(Loopback, CancelIoWithNothingPendingSucceeds) { EXPECT_TRUE(CancelIo(in_)); }

TEST(DeviceIoControl, APendingRequestCompletesItsRecordLater) {
  const Operation operation = PendingControl();
  ASSERT_NE(INVALID_HANDLE_VALUE, operation.handle);
  Record record;
  std::vector<uint8_t> output;
  DWORD count = 0xDEAD;
  ASSERT_FALSE(StartOperation(operation, &record.overlapped, &output, &count));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  ASSERT_TRUE(GetOverlappedResult(operation.handle, &record.overlapped, &count, TRUE));
  EXPECT_EQ(operation.expectedCount, count);
  EXPECT_TRUE(record.Signalled());
}

}  // namespace
}  // namespace conformance
