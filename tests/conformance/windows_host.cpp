// The conformance cases' host under Wine: the loopback device is served by
// the test driver and a server on a thread of this program; operations that
// complete at once use the driver's own control device.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>

#include "host.h"
#include "tests/support/loopback/loopback_device.h"
#include "winbench/protocol.h"
#include "winbench/server/bench_server.h"
#include "winbench/server/control_device.h"
#include "winbench/server/device_interfaces.h"

namespace conformance {
namespace {

class LoopbackServer {
 public:
  bool Start(std::string* error) {
    if (!server_.Start(winbench::ToInterfaceClass(kLoopbackClass),
                       {std::make_shared<LoopbackDevice>(0x1209, 1, 1)}, error)) {
      return false;
    }
    serving_ = std::thread([this] {
      std::string ignored;
      server_.Run(&ignored);
    });
    return true;
  }
  void Stop() {
    if (!serving_.joinable()) return;
    winbench::BenchServer::RequestStop();
    serving_.join();
  }

 private:
  winbench::BenchServer server_;
  std::thread serving_;
};

std::mutex lock;
LoopbackServer* server = nullptr;
std::string serverError;
HANDLE controlDevice = INVALID_HANDLE_VALUE;
HANDLE loopbackHandle = INVALID_HANDLE_VALUE;

// Stops the server when the test program ends.
class ServerEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    std::lock_guard<std::mutex> hold(lock);
    if (loopbackHandle != INVALID_HANDLE_VALUE) CloseHandle(loopbackHandle);
    if (controlDevice != INVALID_HANDLE_VALUE) CloseHandle(controlDevice);
    loopbackHandle = controlDevice = INVALID_HANDLE_VALUE;
    if (server != nullptr) server->Stop();
    delete server;
    server = nullptr;
  }
};

const ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

HANDLE Control() {
  std::lock_guard<std::mutex> hold(lock);
  if (controlDevice == INVALID_HANDLE_VALUE) {
    controlDevice = CreateFileA(WINBENCH_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
  }
  return controlDevice;
}

}  // namespace

std::string LoopbackPath(std::string* error) {
  {
    std::lock_guard<std::mutex> hold(lock);
    if (server == nullptr) {
      server = new LoopbackServer;
      if (!server->Start(&serverError)) serverError += " (the test driver must be running)";
    }
    if (!serverError.empty()) {
      *error = serverError;
      return "";
    }
  }
  const std::string path = winbench::InterfacePath(kLoopbackClass, 0);
  if (path.empty()) *error = "the loopback device is not listed";
  return path;
}

Operation ImmediateRead() {
  Operation read;
  read.kind = Operation::kRead;
  read.handle = Control();
  read.outputSize = 64;
  read.expectedCount = sizeof(winbench_state);
  return read;
}

Operation ImmediateControl() {
  Operation control;
  control.kind = Operation::kControl;
  control.handle = Control();
  control.code = WINBENCH_IOCTL_QUERY;
  control.outputSize = sizeof(winbench_state);
  control.expectedCount = sizeof(winbench_state);
  return control;
}

Operation FailingRead() {
  Operation read;
  read.kind = Operation::kRead;
  read.handle = Control();
  read.outputSize = 8;
  read.expectedError = ERROR_INSUFFICIENT_BUFFER;
  return read;
}

Operation FailingControl() {
  Operation control;
  control.kind = Operation::kControl;
  control.handle = Control();
  control.code = WINBENCH_IOCTL(0xFFF);
  control.expectedError = ERROR_INVALID_FUNCTION;
  return control;
}

Operation PendingControl() {
  std::string error;
  std::string path = LoopbackPath(&error);
  {
    std::lock_guard<std::mutex> hold(lock);
    if (loopbackHandle == INVALID_HANDLE_VALUE && !path.empty()) {
      loopbackHandle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
    }
  }
  Operation control;
  control.kind = Operation::kControl;
  control.handle = loopbackHandle;
  control.code = 0x8094206C;  // the driver information request
  control.outputSize = 12;
  control.expectedCount = 12;
  return control;
}

}  // namespace conformance
