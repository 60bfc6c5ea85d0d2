// Registering simulated handsets with the USB kernel driver stand-in.
#ifndef VELKOR_SIM_REGISTER_H
#define VELKOR_SIM_REGISTER_H

#include <usbdrv/device.h>

#include <memory>

namespace sim {

// The driver's interface class under which handsets are listed:
// {3B7D51E2-9C04-4A6F-B812-6E0D2C9F7A35}.
extern const GUID kHandsetInterfaceClass;

// Registers `instance` (normally a sim::Device) under the handset interface
// class and returns its id (> 0). Instances are listed in registration order.
int RegisterHandset(std::shared_ptr<usbdrv::Instance> instance);
// Removes a registration made by RegisterHandset.
void UnregisterHandset(int id);

}  // namespace sim

#endif
