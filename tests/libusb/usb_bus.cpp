#include "usb_bus.h"

#include <atomic>

namespace usbfs {

Bus& TheBus() {
  static Bus* bus = new Bus;
  return *bus;
}

int NextAddress() {
  static std::atomic<int> next{2};
  return next++;
}

SimHandset::SimHandset()
    : device(std::make_shared<sim::Device>()),
      shell(std::make_shared<sim::Shell>()),
      loader(std::make_shared<sim::Loader>()) {
  device->SetFunction(3, shell);
  device->SetFunction(7, loader);
}

}  // namespace usbfs
