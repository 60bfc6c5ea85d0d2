// The conformance cases' host on POSIX: the loopback device is an instance of
// the platform layer's driver stand-in in this process.
#include <posixplat/testing.h>
#include <usbdrv/device.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>

#include "host.h"

namespace conformance {
namespace {

struct LoopbackState {
  std::mutex lock;
  std::map<uint8_t, std::deque<uint8_t>> bytes;  // by endpoint number
  std::map<uint8_t, std::list<std::pair<usbdrv::Transfer*, const void*>>> reads;
};

// Reads on this IN endpoint fail at once, inside Submit.
const uint8_t kFailingIn = 0x8F;
const uint32_t kRefused = 0xE0001105;

class LoopbackSession : public usbdrv::Session {
 public:
  explicit LoopbackSession(std::shared_ptr<LoopbackState> state) : state_(std::move(state)) {}
  uint32_t DriverInfo(uint8_t info[12]) override {
    std::memset(info, 0, 12);
    info[1] = 0x02;
    return 0;
  }
  // The device fails every get-descriptor request at once.
  uint32_t GetDescriptor(uint32_t, uint8_t, uint8_t, uint16_t, uint8_t*,
                         uint32_t* length) override {
    *length = 0;
    return kRefused;
  }
  uint32_t GetConfiguration(uint8_t* value) override {
    *value = 1;
    return 0;
  }
  uint32_t SetConfiguration(const uint8_t*, uint32_t) override { return 0; }
  uint32_t BindEndpoint(uint8_t) override { return 0; }
  uint32_t AbortEndpoint() override {
    std::lock_guard<std::mutex> hold(state_->lock);
    for (auto& entry : state_->reads) {
      auto& queue = entry.second;
      for (auto it = queue.begin(); it != queue.end();) {
        if (it->second == this) {
          it->first->Complete(ERROR_OPERATION_ABORTED, 0);
          it = queue.erase(it);
        } else {
          ++it;
        }
      }
    }
    return 0;
  }
  void Submit(usbdrv::Transfer* transfer) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    const uint8_t number = transfer->endpoint & 0x7F;
    if (transfer->endpoint == kFailingIn) {
      transfer->Complete(ERROR_GEN_FAILURE, 0);
      return;
    }
    if ((transfer->endpoint & 0x80) == 0) {
      auto& bytes = state_->bytes[number];
      bytes.insert(bytes.end(), transfer->data, transfer->data + transfer->length);
      transfer->Complete(0, transfer->length);
    } else {
      state_->reads[number].push_back({transfer, this});
    }
    auto& bytes = state_->bytes[number];
    auto& queue = state_->reads[number];
    while (!bytes.empty() && !queue.empty()) {
      usbdrv::Transfer* read = queue.front().first;
      queue.pop_front();
      const uint32_t count = std::min<uint32_t>(read->length, bytes.size());
      std::copy(bytes.begin(), bytes.begin() + count, read->data);
      bytes.erase(bytes.begin(), bytes.begin() + count);
      read->Complete(0, count);
    }
  }
  void Cancel(usbdrv::Transfer* transfer) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    auto& queue = state_->reads[transfer->endpoint & 0x7F];
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if (it->first == transfer) {
        queue.erase(it);
        transfer->Complete(ERROR_OPERATION_ABORTED, 0);
        return;
      }
    }
  }

 private:
  std::shared_ptr<LoopbackState> state_;
};

class Loopback : public usbdrv::Instance {
 public:
  std::unique_ptr<usbdrv::Session> Open() override {
    return std::unique_ptr<usbdrv::Session>(new LoopbackSession(state_));
  }

 private:
  std::shared_ptr<LoopbackState> state_ = std::make_shared<LoopbackState>();
};

// Paths of the loopback device and of a second one whose control requests
// pend, and the handles the operations use; made once.
struct Devices {
  std::string path;
  std::string pendingPath;
  HANDLE in = INVALID_HANDLE_VALUE;
  HANDLE out = INVALID_HANDLE_VALUE;
  HANDLE failing = INVALID_HANDLE_VALUE;
  HANDLE pending = INVALID_HANDLE_VALUE;
};

HANDLE OpenPath(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

void Bind(HANDLE handle, BYTE address) {
  DWORD returned = 0;
  DeviceIoControl(handle, 0x80942078, &address, 1, nullptr, 0, &returned, nullptr);
}

Devices& TheDevices() {
  static Devices* devices = [] {
    auto* made = new Devices;
    made->path = posixplat::DevicePath(
        usbdrv::RegisterInstance(kLoopbackClass, std::make_shared<Loopback>()));
    const GUID otherClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    made->pendingPath =
        posixplat::DevicePath(usbdrv::RegisterInstance(otherClass, std::make_shared<Loopback>()));
    posixplat::SetControlCompletion(made->pendingPath, posixplat::ControlCompletion::kPending);
    made->in = OpenPath(made->path);
    made->out = OpenPath(made->path);
    made->failing = OpenPath(made->path);
    made->pending = OpenPath(made->pendingPath);
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
  control.code = 0x80942006;  // get descriptor: the device's own
  control.input = {0, 0, 0, 0, 1, 0, 0, 0};
  control.outputSize = 18;
  control.expectedError = kRefused;
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
