#include "context.h"

#include <stdlib.h>

#include <vector>

#include "device_handle.h"
#include "libusb_backend/backend.h"

namespace libusb_backend {
namespace {

struct Global {
  std::mutex lock;
  std::shared_ptr<Context> running;
  bool exitHookInstalled = false;
  bool exiting = false;
};

// Never destroyed: Shutdown runs from an exit hook, after which static
// objects are being torn down.
Global& TheGlobal() {
  static Global* global = new Global;
  return *global;
}

void ShutdownAtExit() {
  {
    Global& global = TheGlobal();
    std::lock_guard<std::mutex> guard(global.lock);
    global.exiting = true;
  }
  Context::StopRunning();
}

}  // namespace

std::shared_ptr<Context> Context::Acquire() {
  Global& global = TheGlobal();
  std::lock_guard<std::mutex> guard(global.lock);
  if (global.running) return global.running;
  if (global.exiting) return nullptr;
  libusb_context* context = nullptr;
  if (libusb_init(&context) != LIBUSB_SUCCESS) return nullptr;
  std::shared_ptr<Context> started(new Context(context));
  started->eventThread_ = std::thread(&Context::RunEvents, started.get());
  started->eventThreadId_ = started->eventThread_.get_id();
  global.running = started;
  if (!global.exitHookInstalled) {
    global.exitHookInstalled = true;
    atexit(ShutdownAtExit);
  }
  return started;
}

void Context::StopRunning() {
  std::shared_ptr<Context> stopped;
  {
    Global& global = TheGlobal();
    std::lock_guard<std::mutex> guard(global.lock);
    stopped.swap(global.running);
  }
  if (stopped) stopped->Stop();
}

bool Context::Running() {
  Global& global = TheGlobal();
  std::lock_guard<std::mutex> guard(global.lock);
  return global.running != nullptr;
}

Context::Context(libusb_context* context) : context_(context) {}

Context::~Context() { Stop(); }

void Context::RunEvents() {
  while (!stopping_.load()) {
    // Returns after one round of events; woken early by
    // libusb_interrupt_event_handler when stopping.
    timeval timeout{60, 0};
    libusb_handle_events_timeout_completed(context_, &timeout, nullptr);
    DropReleased();
  }
}

void Context::DropReleased() {
  std::vector<std::shared_ptr<DeviceHandle>> dropped;
  {
    std::lock_guard<std::mutex> guard(lock_);
    dropped.swap(released_);
  }
  // A last reference closes its handle here, outside libusb's event handling.
}

void Context::Release(std::shared_ptr<DeviceHandle> handle) {
  std::lock_guard<std::mutex> guard(lock_);
  released_.push_back(std::move(handle));
}

// Closes every handle (which ends its transfers), then stops the event
// thread and releases libusb. Runs once; the object stays as an empty shell
// for the handles and sessions that still refer to it.
void Context::Stop() {
  if (context_ == nullptr) return;
  std::vector<std::shared_ptr<DeviceHandle>> open;
  {
    std::lock_guard<std::mutex> opening(openLock_);
    closing_ = true;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& entry : handles_) {
      if (std::shared_ptr<DeviceHandle> handle = entry.second.lock()) open.push_back(handle);
    }
  }
  for (auto& handle : open) handle->Close();
  open.clear();
  stopping_.store(true);
  libusb_interrupt_event_handler(context_);
  if (eventThread_.joinable()) {
    if (OnEventThread()) {
      eventThread_.detach();  // cannot join itself; it ends on its next pass
    } else {
      eventThread_.join();
    }
  }
  DropReleased();
  libusb_exit(context_);
  context_ = nullptr;
}

std::shared_ptr<DeviceHandle> Context::Open(libusb_device* device) {
  std::lock_guard<std::mutex> opening(openLock_);
  if (closing_) return nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = handles_.find(device);
    if (it != handles_.end()) {
      std::shared_ptr<DeviceHandle> handle = it->second.lock();
      if (handle && !handle->Closed()) return handle;
      handles_.erase(it);
    }
  }
  libusb_device_handle* raw = nullptr;
  if (libusb_open(device, &raw) != LIBUSB_SUCCESS) return nullptr;
  libusb_set_auto_detach_kernel_driver(raw, 1);
  // An unconfigured device has no interface to claim yet; it is claimed
  // once a configuration is set.
  int configuration = 0;
  bool claimed = false;
  if (libusb_get_configuration(raw, &configuration) != LIBUSB_SUCCESS) {
    libusb_close(raw);
    return nullptr;
  }
  if (configuration != 0) {
    if (libusb_claim_interface(raw, 0) != LIBUSB_SUCCESS) {
      libusb_close(raw);
      return nullptr;
    }
    claimed = true;
  }
  auto handle = std::make_shared<DeviceHandle>(shared_from_this(), device, raw, claimed);
  std::lock_guard<std::mutex> guard(lock_);
  handles_[device] = handle;
  return handle;
}

void Context::Forget(libusb_device* device, const DeviceHandle* handle) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = handles_.find(device);
  if (it == handles_.end()) return;
  std::shared_ptr<DeviceHandle> current = it->second.lock();
  if (!current || current.get() == handle) handles_.erase(it);
}

}  // namespace libusb_backend
