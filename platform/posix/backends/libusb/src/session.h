// One driver handle on a handset reached through libusb.
#ifndef VELKOR_LIBUSB_SESSION_H
#define VELKOR_LIBUSB_SESSION_H

#include <usbdrv/device.h>

#include <atomic>
#include <memory>

#include "device_handle.h"

namespace libusb_backend {

class Session final : public usbdrv::Session {
 public:
  explicit Session(std::shared_ptr<DeviceHandle> device) : device_(std::move(device)) {}

  uint32_t GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                         uint32_t* length) override;
  uint32_t GetConfiguration(uint8_t* value) override;
  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest& request) override;
  uint32_t BindEndpoint(uint8_t address) override;
  void AbortEndpoint() override;
  void Submit(usbdrv::Transfer* transfer) override;
  void Cancel(usbdrv::Transfer* transfer) override;

 private:
  const std::shared_ptr<DeviceHandle> device_;
};

}  // namespace libusb_backend

#endif
