// How the simulated handset identifies itself: the interface class under
// which its driver lists it, and the vendor and product identifiers of its
// device descriptor (the first entry of velkor's table).
#ifndef VELKOR_SIM_IDENTITY_H
#define VELKOR_SIM_IDENTITY_H

#include <cstdint>

#include "usbdrv/handset.h"

namespace sim {

constexpr usbdrv::InterfaceClass kHandsetInterfaceClass = usbdrv::kHandsetInterfaceClass;

constexpr uint16_t kDefaultVendor = usbdrv::kHandsetIds[0].vendor;    // the bytes DE AD
constexpr uint16_t kDefaultProduct = usbdrv::kHandsetIds[0].product;  // the bytes BE EF

}  // namespace sim

#endif
