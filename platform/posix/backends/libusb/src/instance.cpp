// The handsets on the bus, as driver instances.
#include <libusb.h>

#include <algorithm>
#include <tuple>

#include "context.h"
#include "device_handle.h"
#include "libusb_backend/backend.h"
#include "session.h"

namespace libusb_backend {

namespace {

bool IsHandset(const libusb_device_descriptor& descriptor) {
  for (const UsbId& id : kHandsetIds) {
    if (descriptor.idVendor == id.vendor && descriptor.idProduct == id.product) return true;
  }
  return false;
}

struct Found {
  uint8_t bus;
  uint8_t address;
  uint16_t vendor;
  uint16_t product;
};

bool Matches(libusb_device* device, const Found& wanted) {
  libusb_device_descriptor descriptor;
  return libusb_get_bus_number(device) == wanted.bus &&
         libusb_get_device_address(device) == wanted.address &&
         libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
         descriptor.idVendor == wanted.vendor && descriptor.idProduct == wanted.product;
}

// A handset as it was found: its place on the bus and its identifiers. It
// holds no libusb object, so that libusb can end while the driver stand-in
// still lists it; opening looks the device up again.
class HandsetInstance final : public usbdrv::Instance {
 public:
  explicit HandsetInstance(const Found& found) : found_(found) {}

  std::unique_ptr<usbdrv::Session> Open() override {
    std::shared_ptr<Context> context = Context::Acquire();
    if (!context) return nullptr;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context->get(), &list);
    if (count < 0) return nullptr;
    std::shared_ptr<DeviceHandle> handle;
    for (ssize_t i = 0; i < count; i++) {
      if (Matches(list[i], found_)) {
        handle = context->Open(list[i]);
        break;
      }
    }
    libusb_free_device_list(list, 1);
    if (!handle) return nullptr;
    return std::unique_ptr<usbdrv::Session>(new Session(std::move(handle)));
  }

 private:
  const Found found_;
};

}  // namespace

std::vector<std::shared_ptr<usbdrv::Instance>> ListHandsets() {
  std::vector<std::shared_ptr<usbdrv::Instance>> instances;
  std::shared_ptr<Context> context = Context::Acquire();
  if (!context) return instances;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context->get(), &list);
  if (count < 0) return instances;
  std::vector<Found> found;
  for (ssize_t i = 0; i < count; i++) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
    if (!IsHandset(descriptor)) continue;
    found.push_back({libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]),
                     descriptor.idVendor, descriptor.idProduct});
  }
  libusb_free_device_list(list, 1);
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.bus, a.address) < std::tie(b.bus, b.address);
  });
  for (const Found& handset : found) instances.push_back(std::make_shared<HandsetInstance>(handset));
  return instances;
}

void Shutdown() { Context::StopRunning(); }

Resources LiveResources() {
  Resources resources;
  resources.running = Context::Running();
  resources.openDevices = LiveDeviceHandles();
  resources.transfers = LiveTransfers();
  return resources;
}

}  // namespace libusb_backend
