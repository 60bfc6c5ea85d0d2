// One USB device on the emulated bus, served by a device model behind the
// driver's device interface (a usbdrv::Instance, such as the simulated
// handset): the usbfs requests that libusb makes on the device node become
// usbdrv::Session calls on the model.
//
// - Descriptors and the configuration come from a session of the device's
//   own on the model, which also serves control transfers (get descriptor,
//   get configuration) and the set-configuration request.
// - Each open file descriptor on the node (a usbfs client, in this process or
//   a child) gets one model session per endpoint it sends URBs to, opened and
//   bound on its first URB there; each bulk URB is one model transfer, and
//   discarding a URB cancels it.
// - Interface 0 is claimed per client, as the kernel does: a second client's
//   claim fails with EBUSY, and so do its URBs.
// - The node is a one-slot FIFO that reports POLLOUT exactly while a URB is
//   waiting to be reaped, as the kernel's usbfs file does.
#ifndef VELKOR_TESTS_LIBUSB_EMULATED_DEVICE_H
#define VELKOR_TESTS_LIBUSB_EMULATED_DEVICE_H

#include <usbdrv/device.h>

#include <functional>
#include <memory>
#include <string>

#include "emulated_bus.h"

namespace usbfs {

class EmulatedDevice {
 public:
  // Puts `model` on `bus` as /dev/bus/usb/BUS/ADDRESS (full speed).
  EmulatedDevice(Bus& bus, int busNumber, int address, std::shared_ptr<usbdrv::Instance> model);
  // Takes the device off the bus. libusb must have closed it by then.
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // Empty when the device is on the bus, else why it could not be put there.
  const std::string& error() const;
  // "/dev/bus/usb/BUS/ADDRESS".
  const std::string& node() const;

  // The cable pulled out: URBs in flight end with ESHUTDOWN, the node
  // reports POLLERR to the libusb handles of this process, further requests
  // fail with ENODEV, and the device leaves sysfs with a remove event.
  void Unplug();
  // From now on opening the node fails, whoever asks.
  void RefuseOpen();

  struct Counts {
    int clients = 0;         // file descriptors open on the node now
    int sessions = 0;        // model sessions of the clients, open now
    int inFlight = 0;        // URBs with the model
    int unreaped = 0;        // URBs finished and not yet reaped
    int submitted = 0;       // URBs submitted in all
    int discarded = 0;       // URBs discarded in all
    int unknownRequests = 0; // ioctls the emulation does not know
    bool claimed = false;    // interface 0 claimed by a client
  };
  Counts counts() const;
  // Waits until `condition` (which may call counts()) holds, re-testing it
  // whenever the device's state changes and at least every 50 ms; false
  // after `timeoutMs`.
  bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace usbfs

#endif
