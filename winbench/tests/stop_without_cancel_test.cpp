// The read worker's stop under Wine, through the test driver, with CancelIo
// honoured and with CancelIo ignored by the driver: a read that the worker
// submits after the abort has taken effect must not keep it waiting.
//
// To place the stop exactly between the worker's stop test and its
// submission, the test holds the worker inside one ReadFile call: it routes
// the program's own import of ReadFile through a gate (the import address
// table entry of this executable; the system's code is linked into it).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "bench_fixture.h"
#include "usbio/usbiodevice.h"
#include "usbio/usbiothread.h"
#include "tests/support/loopback/loopback_device.h"

extern "C" {
// The import address table entry through which this program calls ReadFile.
extern BOOL(WINAPI* __imp_ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
}

namespace winbench {
namespace {

const DWORD kWaitMs = 10000;

// Holds the n-th ReadFile call of the process until opened.
class ReadGate {
 public:
  static void Install(int heldCall) {
    installed_ = true;
    held_ = heldCall;
    calls_ = 0;
    inGate_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    open_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    real_ = __imp_ReadFile;
    Patch(&Gated);
  }
  static void Remove() {
    if (!installed_) return;
    installed_ = false;
    SetEvent(open_);
    Patch(real_);
    CloseHandle(inGate_);
    CloseHandle(open_);
  }
  static bool WaitUntilHeld() { return WaitForSingleObject(inGate_, kWaitMs) == WAIT_OBJECT_0; }
  static void Open() { SetEvent(open_); }

 private:
  static void Patch(BOOL(WINAPI* target)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)) {
    DWORD old = 0;
    VirtualProtect(&__imp_ReadFile, sizeof __imp_ReadFile, PAGE_READWRITE, &old);
    __imp_ReadFile = target;
    VirtualProtect(&__imp_ReadFile, sizeof __imp_ReadFile, old, &old);
  }
  static BOOL WINAPI Gated(HANDLE file, LPVOID buffer, DWORD size, LPDWORD count,
                           LPOVERLAPPED overlapped) {
    if (++calls_ == held_) {
      SetEvent(inGate_);
      WaitForSingleObject(open_, INFINITE);
    }
    return real_(file, buffer, size, count, overlapped);
  }

  static BOOL(WINAPI* real_)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  static bool installed_;
  static std::atomic<int> calls_;
  static int held_;
  static HANDLE inGate_;
  static HANDLE open_;
};

BOOL(WINAPI* ReadGate::real_)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
bool ReadGate::installed_ = false;
std::atomic<int> ReadGate::calls_{0};
int ReadGate::held_ = 0;
HANDLE ReadGate::inGate_ = nullptr;
HANDLE ReadGate::open_ = nullptr;

// A read worker that tells when its loop has ended, and whose stop can be
// requested without the cancellation that ShutdownThread adds: as if the
// owner's abort had taken effect before the worker's next submission.
class Reader : public CUsbIoReadThread {
 public:
  Reader() : exited_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Reader() override {
    StopWorkerOnDestruction();
    CloseHandle(exited_);
  }
  void RequestStopOnly() { InterlockedExchange(&stopRequested, 1); }
  bool WaitForExit() { return WaitForSingleObject(exited_, kWaitMs) == WAIT_OBJECT_0; }

 protected:
  void OnWorkerExit() override { SetEvent(exited_); }

 private:
  HANDLE exited_;
};

class StopWithoutCancel : public BenchTest, public ::testing::WithParamInterface<uint32_t> {
 protected:
  void TearDown() override {
    ReadGate::Remove();
    reader_.ShutdownThread();
    reader_.CloseInstance();
    if (list_ != nullptr) CUsbIoDevice::FreeInterfaceList(list_);
    BenchTest::TearDown();
  }

  Reader reader_;
  HDEVINFO list_ = nullptr;
};

TEST_P(StopWithoutCancel, AReadSubmittedAfterTheStopIsWithdrawnByTheWorker) {
  Serve({std::make_shared<LoopbackDevice>(0x1209, 1, 1)});
  SetMode(GetParam());
  list_ = CUsbIoDevice::BuildInterfaceList(&kTestClass);
  ASSERT_NE(nullptr, list_);
  ASSERT_EQ(0u, reader_.AttachEndpoint(0, 0x83, list_, &kTestClass));
  ASSERT_TRUE(reader_.CreateBuffers(64, 4));
  ReadGate::Install(2);
  ASSERT_TRUE(reader_.LaunchWorker(3));
  // The worker is inside its second ReadFile, past its stop tests.
  ASSERT_TRUE(ReadGate::WaitUntilHeld());
  reader_.RequestStopOnly();
  ReadGate::Open();
  EXPECT_TRUE(reader_.WaitForExit()) << "a read queued after the stop kept the worker waiting";
  EXPECT_TRUE(Settled()) << State().pendingTotal << " requests left pending in the driver";
}

INSTANTIATE_TEST_SUITE_P(Driver, StopWithoutCancel,
                         ::testing::Values(0u, WINBENCH_MODE_IGNORE_CANCEL),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return std::string(info.param ? "CancelIoIgnored" : "CancelIoHonoured");
                         });

}  // namespace
}  // namespace winbench
