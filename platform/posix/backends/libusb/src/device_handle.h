// One open USB device in this process: the libusb device handle that every
// session on the device shares, the claim of interface 0, and the transfers
// in flight.
#ifndef VELKOR_LIBUSB_DEVICE_HANDLE_H
#define VELKOR_LIBUSB_DEVICE_HANDLE_H

#include <libusb.h>
#include <usbdrv/device.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace libusb_backend {

class Context;

class DeviceHandle : public std::enable_shared_from_this<DeviceHandle> {
 public:
  DeviceHandle(std::shared_ptr<Context> context, libusb_device* device,
               libusb_device_handle* handle, bool claimed);
  // Closes the handle unless Close did already.
  ~DeviceHandle();
  DeviceHandle(const DeviceHandle&) = delete;
  DeviceHandle& operator=(const DeviceHandle&) = delete;

  // A call into libusb on the handle: Enter gives the handle, or null once
  // the handle is closed; every non-null Enter is paired with a Leave. Close
  // waits for the calls in progress.
  libusb_device_handle* Enter();
  void Leave();
  bool Closed();

  // Selects configuration `value`. The claim of interface 0 is given up for
  // the change (the kernel refuses it while an interface is claimed) and
  // taken again in the new configuration.
  uint32_t SetConfiguration(int value);

  // A control transfer on `handle` (from Enter), like
  // libusb_control_transfer: the bytes moved, or a libusb error.
  int ControlTransfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                      uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
                      unsigned timeoutMs);

  // Starts one bulk transfer for `owner` (the session), or completes it at
  // once with the failure.
  void Submit(const void* owner, usbdrv::Transfer* transfer);
  // Cancels one transfer still in flight; nothing if it has completed.
  void Cancel(usbdrv::Transfer* transfer);
  // Cancels every transfer of `owner` in flight and waits until their
  // completions have run, unless called on the event thread.
  void Abort(const void* owner);

  // Ends every transfer in flight, waits for their completions, gives up the
  // claim and closes the libusb handle. Later submissions fail at once.
  void Close();

 private:
  struct Flight;
  static void LIBUSB_CALL OnTransferDone(libusb_transfer* done);
  // With lock_ held: one call on a flight ended; true when the flight is to
  // be freed now (its completion has run and nobody else uses it).
  static bool Release(Flight* flight);
  static void Free(Flight* flight);
  void Cancel(Flight* flight);
  Flight* FindLocked(usbdrv::Transfer* transfer);
  // Waits until the flights selected have completed and no call is in
  // progress, at most `ms` milliseconds.
  template <class Predicate>
  void WaitLocked(std::unique_lock<std::mutex>& guard, Predicate done, int ms);

  const std::shared_ptr<Context> context_;
  libusb_device* const device_;
  // Serialises configuration changes and their claims.
  std::mutex configLock_;
  std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  libusb_device_handle* handle_;
  bool claimed_;
  bool closed_ = false;
  int calls_ = 0;  // Enter without Leave
  uint64_t nextSerial_ = 1;
  // The transfers in flight by serial; one leaves once its completion has
  // been delivered.
  std::map<uint64_t, Flight*> flights_;
};

// Live libusb device handles and transfers of the process.
int LiveDeviceHandles();
int LiveTransfers();

}  // namespace libusb_backend

#endif
