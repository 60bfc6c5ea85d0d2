#include "bench_fixture.h"

#include <cstring>

#include "winbench/server/control_device.h"

namespace winbench {

const GUID kTestClass = {
    0x6d3c1f0e, 0x2b7a, 0x4c55, {0x9e, 0x41, 0x0a, 0x8f, 0x3d, 0x62, 0xb1, 0x17}};

Overlapped::Overlapped() {
  std::memset(&record, 0, sizeof record);
  record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Overlapped::~Overlapped() { CloseHandle(record.hEvent); }

void BenchTest::TearDown() {
  for (HANDLE handle : handles_) CloseHandle(handle);
  handles_.clear();
  if (modeSet_) SetMode(0);
  if (server_) {
    EXPECT_TRUE(Settled()) << "requests still pending at the end: " << State().pendingTotal;
    StopServer();
  }
}

void BenchTest::Serve(std::vector<std::shared_ptr<usbdrv::Instance>> instances) {
  server_.reset(new BenchServer);
  std::string error;
  ASSERT_TRUE(server_->Start(ToInterfaceClass(kTestClass), std::move(instances), &error))
      << error << " (the test driver must be installed and running)";
  serving_ = std::thread([this] {
    std::string runError;
    stoppedOnRequest_ = server_->Run(&runError);
  });
}

bool BenchTest::StopServer() {
  if (!server_) return false;
  EXPECT_EQ(0u, BenchServer::RequestStop());
  serving_.join();
  server_.reset();
  return stoppedOnRequest_;
}

HANDLE BenchTest::Open(DWORD index) {
  std::string path = InterfacePath(kTestClass, index);
  if (path.empty()) return INVALID_HANDLE_VALUE;
  HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle != INVALID_HANDLE_VALUE) handles_.push_back(handle);
  return handle;
}

DWORD BenchTest::Control(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out,
                         DWORD outSize, DWORD* returned, bool* pended) {
  Overlapped overlapped;
  DWORD count = 0;
  DWORD error = 0;
  if (pended != nullptr) *pended = false;
  if (!DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &count,
                       &overlapped.record)) {
    error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (pended != nullptr) *pended = true;
      error = GetOverlappedResult(handle, &overlapped.record, &count, TRUE) ? 0 : GetLastError();
    }
  }
  if (returned != nullptr) *returned = count;
  return error;
}

DWORD BenchTest::Bind(HANDLE handle, BYTE address) {
  return Control(handle, USBDRV_REQUEST_BIND_ENDPOINT, &address, 1, nullptr, 0);
}

winbench_state BenchTest::State() {
  winbench_state state;
  std::memset(&state, 0, sizeof state);
  ControlDevice device;
  DWORD error = 0;
  EXPECT_TRUE(device.Open(&error)) << error;
  EXPECT_EQ(0u, device.Query(&state));
  return state;
}

bool BenchTest::Settled(DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (State().pendingTotal != 0) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(10);
  }
  return true;
}

void BenchTest::SetMode(uint32_t mode) {
  ControlDevice device;
  DWORD error = 0;
  ASSERT_TRUE(device.Open(&error)) << error;
  ASSERT_EQ(0u, device.SetMode(mode));
  modeSet_ = mode != 0;
}

}  // namespace winbench
