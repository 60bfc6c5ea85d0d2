// A fixture with one fake driver instance registered under a test class.
#ifndef VELKOR_TESTS_PLATFORM_DRIVER_FIXTURE_H
#define VELKOR_TESTS_PLATFORM_DRIVER_FIXTURE_H

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <cstring>

#include "fake_instance.h"
#include "posixplat/registry.h"
#include "posixplat/testing.h"
#include "usbdrv/requests.h"

namespace platformtest {

const GUID kTestClass = {0x6D1B4C20, 0x55A1, 0x4E0B, {0x9A, 0x3C, 0x10, 0x2F, 0x44, 0x7E, 0x0B, 0x61}};
const GUID kOtherClass = {0x01020304, 0x0506, 0x0708, {1, 2, 3, 4, 5, 6, 7, 8}};

// The registry's form of a GUID.
inline usbdrv::InterfaceClass ClassOf(const GUID& guid) {
  usbdrv::InterfaceClass interfaceClass;
  memcpy(&interfaceClass, &guid, sizeof interfaceClass);
  return interfaceClass;
}

constexpr DWORD kDriverInfo = USBDRV_REQUEST_DRIVER_INFO;
constexpr DWORD kGetDescriptor = USBDRV_REQUEST_GET_DESCRIPTOR;
constexpr DWORD kGetConfiguration = USBDRV_REQUEST_GET_CONFIGURATION;
constexpr DWORD kSetConfiguration = USBDRV_REQUEST_SET_CONFIGURATION;
constexpr DWORD kBindEndpoint = USBDRV_REQUEST_BIND_ENDPOINT;
constexpr DWORD kAbortEndpoint = USBDRV_REQUEST_ABORT_ENDPOINT;

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    posixplat::Reset();
    state = std::make_shared<FakeState>();
    id = posixplat::RegisterInstance(ClassOf(kTestClass), std::make_shared<FakeInstance>(state));
    path = posixplat::DevicePath(id);
  }

  void TearDown() override {
    for (HANDLE handle : handles) CloseHandle(handle);
    posixplat::FlushCompletions();
    EXPECT_EQ(0, state->sessions.load()) << "a session outlived its handle";
    posixplat::Reset();
  }

  // Opens the instance as the program does; the fixture closes it.
  HANDLE Open(DWORD flags = FILE_FLAG_OVERLAPPED) {
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE) handles.push_back(handle);
    return handle;
  }

  // A handle that the fixture no longer closes.
  void Forget(HANDLE handle) {
    handles.erase(std::remove(handles.begin(), handles.end(), handle), handles.end());
  }

  HANDLE Event(bool manualReset = false) {
    HANDLE event = CreateEventA(nullptr, manualReset, FALSE, nullptr);
    handles.push_back(event);
    return event;
  }

  // A control request with an overlapped record, waited for to the end.
  // Returns 0 or the request's error.
  DWORD Request(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                DWORD* bytes = nullptr) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD count = 0;
    DWORD status = 0;
    if (!DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &count,
                         &overlapped)) {
      status = GetLastError();
      if (status == ERROR_IO_PENDING) {
        status = GetOverlappedResult(handle, &overlapped, &count, TRUE) ? 0 : GetLastError();
      }
    }
    CloseHandle(overlapped.hEvent);
    if (bytes != nullptr) *bytes = count;
    return status;
  }

  HANDLE OpenBound(uint8_t address) {
    HANDLE handle = Open();
    EXPECT_NE(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(0u, Request(handle, kBindEndpoint, &address, 1, nullptr, 0));
    return handle;
  }

  std::shared_ptr<FakeState> state;
  int id = 0;
  std::string path;
  std::vector<HANDLE> handles;
};

}  // namespace platformtest

#endif
