#include "winbench/server/bench_server.h"

#include <cstring>

#include "winbench/protocol.h"
#include "winbench/server/answer_sender.h"
#include "winbench/server/client_handle.h"
#include "winbench/server/control_device.h"

namespace winbench {

BenchServer::BenchServer() : device_(new ControlDevice) {}

BenchServer::~BenchServer() {
  if (sender_) Unplug();
}

bool BenchServer::Start(const usbdrv::InterfaceClass& interfaceClass,
                        std::vector<std::shared_ptr<usbdrv::Instance>> instances,
                        std::string* error) {
  if (instances.empty() || instances.size() > WINBENCH_MAX_INSTANCES) {
    *error = "between 1 and " + std::to_string(WINBENCH_MAX_INSTANCES) + " instances are served";
    return false;
  }
  DWORD status = 0;
  if (!device_->Open(&status)) {
    *error = "the test driver " WINBENCH_SERVICE_NAME " is not running (error " +
             std::to_string(status) + ")";
    return false;
  }
  status = device_->Register(interfaceClass, static_cast<uint32_t>(instances.size()));
  if (status != 0) {
    device_->Close();
    *error = status == ERROR_BUSY
                 ? std::string("another server uses the test driver")
                 : "registering with the test driver failed (error " + std::to_string(status) + ")";
    return false;
  }
  instances_ = std::move(instances);
  sender_.reset(new AnswerSender(device_.get()));
  return true;
}

bool BenchServer::Run(std::string* error) {
  std::vector<uint8_t> records;
  bool stopped = false;
  while (sender_ && !stopped) {
    const DWORD status = device_->NextRequests(&records);
    if (status != 0) {
      *error = "the test driver failed (error " + std::to_string(status) + ")";
      break;
    }
    size_t at = 0;
    while (!stopped && records.size() - at >= sizeof(winbench_request)) {
      winbench_request request;
      std::memcpy(&request, records.data() + at, sizeof request);
      if (request.inputLength > records.size() - at - sizeof request) break;
      stopped = Serve(request, records.data() + at + sizeof request);
      at += WINBENCH_PADDED(sizeof request + request.inputLength);
    }
    // Handles whose session has ended go.
    for (auto it = handles_.begin(); it != handles_.end();) {
      if (it->second->Finished()) {
        it->second->Join();
        it = handles_.erase(it);
      } else {
        ++it;
      }
    }
  }
  Unplug();
  return stopped;
}

bool BenchServer::Serve(const winbench_request& request, const uint8_t* input) {
  if (request.kind == WINBENCH_REQUEST_STOP) return true;
  auto found = handles_.find(request.handle);
  ClientHandle* handle = found == handles_.end() ? nullptr : found->second.get();
  switch (request.kind) {
    case WINBENCH_REQUEST_CREATE:
      if (handle == nullptr && request.instance < instances_.size()) {
        auto created = std::make_shared<ClientHandle>(instances_[request.instance], sender_.get());
        handles_[request.handle] = created;
        created->Open();
      }
      break;
    case WINBENCH_REQUEST_CLOSE:
      if (handle != nullptr) handle->Close();
      break;
    case WINBENCH_REQUEST_CONTROL:
    case WINBENCH_REQUEST_READ:
    case WINBENCH_REQUEST_WRITE:
      if (handle == nullptr) {
        Answer refused;
        refused.id = request.id;
        refused.status = USBDRV_ERROR_INVALID_HANDLE;
        sender_->Post(std::move(refused));
      } else if (request.kind == WINBENCH_REQUEST_CONTROL) {
        handle->Control(request, input);
      } else {
        handle->Transfer(request, input);
      }
      break;
    case WINBENCH_REQUEST_CANCEL:
      if (handle != nullptr) handle->Cancel(request.id);
      break;
    default:
      break;
  }
  return false;
}

void BenchServer::Unplug() {
  if (!sender_) return;
  // Closing the control device takes the instances away; the driver fails
  // what their handles wait for.
  sender_->Unplug();
  device_->Close();
  for (auto& entry : handles_) entry.second->Close();
  for (auto& entry : handles_) entry.second->Join();
  handles_.clear();
  sender_->Stop();
  sender_.reset();
}

DWORD BenchServer::RequestStop() {
  ControlDevice device;
  DWORD status = 0;
  if (!device.Open(&status)) return status;
  return device.StopServer();
}

}  // namespace winbench
