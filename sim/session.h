// One open handle on a simulated handset (internal to the device model).
#ifndef VELKOR_SIM_SESSION_H
#define VELKOR_SIM_SESSION_H

#include <usbdrv/device.h>

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

  uint32_t DriverInfo(uint8_t info[12]) override;
  uint32_t GetDescriptor(uint32_t recipient, uint8_t type, uint8_t index, uint16_t language,
                         uint8_t* out, uint32_t* length) override;
  uint32_t GetConfiguration(uint8_t* value) override;
  uint32_t SetConfiguration(const uint8_t* record, uint32_t length) override;
  uint32_t BindEndpoint(uint8_t address) override;
  uint32_t AbortEndpoint() override;
  void Submit(usbdrv::Transfer* transfer) override;
  void Cancel(usbdrv::Transfer* transfer) override;

 private:
  // 0 when the handset accepts the set configuration record.
  static uint32_t CheckConfiguration(const std::vector<uint8_t>& record);

  const std::shared_ptr<Device::Core> core_;
  const int serial_;
  // Guarded by the core's lock.
  bool bound_ = false;
  uint8_t address_ = 0;
};

}  // namespace sim

#endif
