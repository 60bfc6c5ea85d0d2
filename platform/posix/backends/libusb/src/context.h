// The process's libusb context: the library, its event thread, and the
// device handles open on it.
#ifndef VELKOR_LIBUSB_CONTEXT_H
#define VELKOR_LIBUSB_CONTEXT_H

#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace libusb_backend {

class DeviceHandle;

class Context : public std::enable_shared_from_this<Context> {
 public:
  // The running context, started on first use; null when libusb cannot start
  // or the process is exiting.
  static std::shared_ptr<Context> Acquire();
  // Stops the running context, if any (see Shutdown in backend.h).
  static void StopRunning();
  static bool Running();

  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // Null once the context has stopped.
  libusb_context* get() const { return context_; }
  bool OnEventThread() const { return std::this_thread::get_id() == eventThreadId_; }

  // The process's handle on `device`: the one already open, or a new one
  // (opened, kernel driver detached, interface 0 claimed when the device is
  // configured). Null when the device cannot be opened or claimed.
  std::shared_ptr<DeviceHandle> Open(libusb_device* device);
  // Called by a handle when it closes.
  void Forget(libusb_device* device, const DeviceHandle* handle);
  // Takes a reference that a transfer's completion held: it is dropped on
  // the event thread once libusb's event handling has returned, because the
  // last reference closes the libusb handle, which libusb forbids inside its
  // event handling.
  void Release(std::shared_ptr<DeviceHandle> handle);

 private:
  explicit Context(libusb_context* context);
  void RunEvents();
  void DropReleased();
  void Stop();

  libusb_context* context_;
  std::thread eventThread_;
  std::thread::id eventThreadId_;
  // Set when the event thread is to end.
  std::atomic<bool> stopping_{false};
  // Opens are made one at a time, so that two handles never race for the
  // claim of one device; guards closing_.
  std::mutex openLock_;
  bool closing_ = false;  // no more opens
  std::mutex lock_;       // guards handles_ and released_
  std::map<libusb_device*, std::weak_ptr<DeviceHandle>> handles_;
  std::vector<std::shared_ptr<DeviceHandle>> released_;
};

}  // namespace libusb_backend

#endif
