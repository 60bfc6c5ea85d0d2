// One open handle on a simulated handset (internal to the device model).
#ifndef VELKOR_SIM_SESSION_H
#define VELKOR_SIM_SESSION_H

#include "usbdrv/device.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/device.h"

namespace sim {

class DeviceSession : public usbdrv::Session {
 public:
  DeviceSession(std::shared_ptr<Device::Core> core, int serial);
  // Ends what is still pending on the session (the driver stand-in never
  // leaves anything) and counts the session closed.
  ~DeviceSession() override;

  uint16_t InterfaceVersion() override;
  uint32_t GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                         uint32_t* length) override;
  uint32_t GetConfiguration(uint8_t* value) override;
  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest& request) override;
  uint32_t BindEndpoint(uint8_t address) override;
  void AbortEndpoint() override;
  void Submit(usbdrv::Transfer* transfer) override;
  void Cancel(usbdrv::Transfer* transfer) override;

 private:
  // 0 when the handset accepts the configuration request.
  static uint32_t CheckConfiguration(const usbdrv::ConfigurationRequest& request);

  const std::shared_ptr<Device::Core> core_;
  const int serial_;
  // Guarded by the core's lock.
  bool bound_ = false;
  uint8_t address_ = 0;
};

}  // namespace sim

#endif
