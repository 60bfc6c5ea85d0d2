// How the simulated handset identifies itself: the interface class under
// which its driver lists it, and the vendor and product identifiers of its
// device descriptor (the first entry of velkor's table).
#ifndef VELKOR_SIM_IDENTITY_H
#define VELKOR_SIM_IDENTITY_H

#include <cstdint>

#include "usbdrv/device.h"

namespace sim {

// {3B7D51E2-9C04-4A6F-B812-6E0D2C9F7A35}
constexpr usbdrv::InterfaceClass kHandsetInterfaceClass = {
    0x3B7D51E2, 0x9C04, 0x4A6F, {0xB8, 0x12, 0x6E, 0x0D, 0x2C, 0x9F, 0x7A, 0x35}};

constexpr uint16_t kDefaultVendor = 0xADDE;   // arrives as the bytes DE AD
constexpr uint16_t kDefaultProduct = 0xEFBE;  // arrives as the bytes BE EF

}  // namespace sim

#endif
