// The conformance cases' host on POSIX: the loopback device is an instance of
// the platform layer's driver stand-in in this process.
#include <posixplat/registry.h>
#include <posixplat/testing.h>

#include <memory>

#include "host.h"
#include "tests/support/loopback/loopback_device.h"

namespace conformance {
namespace {

// Reads on this IN endpoint fail at once, inside the device's Submit.
const uint8_t kFailingIn = 0x8F;

usbdrv::InterfaceClass ClassOf(const GUID& guid) {
  usbdrv::InterfaceClass interfaceClass;
  interfaceClass.data1 = guid.Data1;
  interfaceClass.data2 = guid.Data2;
  interfaceClass.data3 = guid.Data3;
  for (int i = 0; i < 8; i++) interfaceClass.data4[i] = guid.Data4[i];
  return interfaceClass;
}

HANDLE OpenPath(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

void Bind(HANDLE handle, BYTE address) {
  DWORD returned = 0;
  DeviceIoControl(handle, 0x80942078, &address, 1, nullptr, 0, &returned, nullptr);
}

// The loopback device, a second one whose control requests pend, and the
// handles the operations use; made once.
struct Devices {
  std::string path;
  HANDLE in = INVALID_HANDLE_VALUE;
  HANDLE out = INVALID_HANDLE_VALUE;
  HANDLE failing = INVALID_HANDLE_VALUE;
  HANDLE pending = INVALID_HANDLE_VALUE;
};

Devices& TheDevices() {
  static Devices* devices = [] {
    auto* made = new Devices;
    auto loopback = std::make_shared<LoopbackDevice>(0x1209, 1, 1);
    loopback->FailReads(kFailingIn, ERROR_GEN_FAILURE);
    made->path =
        posixplat::DevicePath(posixplat::RegisterInstance(ClassOf(kLoopbackClass), loopback));
    const GUID otherClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    const std::string pendingPath = posixplat::DevicePath(posixplat::RegisterInstance(
        ClassOf(otherClass), std::make_shared<LoopbackDevice>(0x1209, 2, 1)));
    posixplat::SetControlCompletion(pendingPath, posixplat::ControlCompletion::kPending);
    made->in = OpenPath(made->path);
    made->out = OpenPath(made->path);
    made->failing = OpenPath(made->path);
    made->pending = OpenPath(pendingPath);
    Bind(made->in, 0x82);
    Bind(made->out, 0x02);
    Bind(made->failing, kFailingIn);
    return made;
  }();
  return *devices;
}

}  // namespace

std::string LoopbackPath(std::string* error) {
  const std::string& path = TheDevices().path;
  if (path.empty()) *error = "the loopback device could not be registered";
  return path;
}

Operation ImmediateRead() {
  Devices& devices = TheDevices();
  // Bytes are waiting, so the read completes inside ReadFile.
  DWORD written = 0;
  WriteFile(devices.out, "ready", 5, &written, nullptr);
  Operation read;
  read.kind = Operation::kRead;
  read.handle = devices.in;
  read.outputSize = 64;
  read.expectedCount = 5;
  return read;
}

Operation ImmediateControl() {
  Operation control;
  control.kind = Operation::kControl;
  control.handle = TheDevices().in;
  control.code = 0x8094206C;  // the driver information request
  control.outputSize = 12;
  control.expectedCount = 12;
  return control;
}

// Failures the device reports at once, as a driver that completes a request
// with an error in its dispatch routine.
Operation FailingRead() {
  Operation read;
  read.kind = Operation::kRead;
  read.handle = TheDevices().failing;
  read.outputSize = 8;
  read.expectedError = ERROR_GEN_FAILURE;
  return read;
}

Operation FailingControl() {
  Operation control;
  control.kind = Operation::kControl;
  control.handle = TheDevices().in;
  control.code = 0x80942006;  // get descriptor: the configuration descriptor
  control.input = {0, 0, 0, 0, 2, 0, 0, 0};
  control.outputSize = 9;
  control.expectedError = 0xE0001105;
  return control;
}

Operation PendingControl() {
  Operation control;
  control.kind = Operation::kControl;
  control.handle = TheDevices().pending;
  control.code = 0x8094206C;
  control.outputSize = 12;
  control.expectedCount = 12;
  return control;
}

}  // namespace conformance
