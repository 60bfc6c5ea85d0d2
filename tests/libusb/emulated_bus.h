// An emulated USB bus for libusb in tests: sysfs, udev and usbfs device
// nodes of umockdev's test bed, with the handsets' usbfs requests answered
// in this process (EmulatedDevice).
//
// The process must run under umockdev-wrapper (its preload library redirects
// /sys, /dev and the ioctls on emulated nodes); child processes inherit the
// emulation and are served by this process. One bus per process.
#ifndef VELKOR_TESTS_LIBUSB_EMULATED_BUS_H
#define VELKOR_TESTS_LIBUSB_EMULATED_BUS_H

#include <umockdev.h>

#include <string>

namespace usbfs {

// True when the process runs under umockdev-wrapper.
bool PreloadActive();

// The environment a libusb process needs besides the preload: ASan checks
// that its run-time comes first in the library list, which the preload
// breaks.
constexpr char kAsanOptions[] = "verify_asan_link_order=0";

class Bus {
 public:
  Bus();
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  UMockdevTestbed* testbed() const { return testbed_; }
  // The real path of an emulated file (for instance "/dev/bus/usb/001/002").
  std::string RealPath(const std::string& path) const;

 private:
  UMockdevTestbed* testbed_;
};

}  // namespace usbfs

#endif
