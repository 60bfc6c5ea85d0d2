// Registering simulated handsets with the driver stand-in of this process
// (POSIX hosts): the one place where the simulator meets the platform.
#ifndef VELKOR_SIM_REGISTER_H
#define VELKOR_SIM_REGISTER_H

#include <memory>

#include "sim/identity.h"
#include "usbdrv/device.h"

namespace sim {

// Registers `instance` (normally a sim::Device) under the handset interface
// class and returns its id (> 0). Instances are listed in registration order.
int RegisterHandset(std::shared_ptr<usbdrv::Instance> instance);
// Removes a registration made by RegisterHandset.
void UnregisterHandset(int id);
// Removes every registered instance.
void UnregisterAllHandsets();

}  // namespace sim

#endif
