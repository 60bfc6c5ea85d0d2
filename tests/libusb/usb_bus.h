// The process's emulated USB bus for the end-to-end suites, and the
// simulated handset to put on it.
#ifndef VELKOR_TESTS_LIBUSB_USB_BUS_H
#define VELKOR_TESTS_LIBUSB_USB_BUS_H

#include <memory>

#include "emulated_bus.h"
#include "sim/device.h"
#include "sim/loader.h"
#include "sim/shell.h"

namespace usbfs {

// One bus per process, never taken down (libusb may look at it up to the
// process's end).
Bus& TheBus();
// A fresh device address on bus 1 for every call.
int NextAddress();

// A simulated handset with its shell on endpoint 3 and its loader on 7.
struct SimHandset {
  SimHandset();
  std::shared_ptr<sim::Device> device;
  std::shared_ptr<sim::Shell> shell;
  std::shared_ptr<sim::Loader> loader;
};

}  // namespace usbfs

#endif
