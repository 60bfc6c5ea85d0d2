// What the USB kernel driver knows of a KV30 handset: the interface class
// under which it lists handsets, and the vendor and product identifiers of
// the devices it binds to. The driver stand-ins' backends and the simulated
// handset take them from here; the system's code keeps its own table.
#ifndef VELKOR_USBDRV_HANDSET_H
#define VELKOR_USBDRV_HANDSET_H

#include <cstdint>

#include "usbdrv/device.h"

namespace usbdrv {

// {3B7D51E2-9C04-4A6F-B812-6E0D2C9F7A35}
constexpr InterfaceClass kHandsetInterfaceClass = {
    0x3B7D51E2, 0x9C04, 0x4A6F, {0xB8, 0x12, 0x6E, 0x0D, 0x2C, 0x9F, 0x7A, 0x35}};

struct UsbId {
  uint16_t vendor;
  uint16_t product;
};

constexpr int kHandsetIdCount = 4;
constexpr UsbId kHandsetIds[kHandsetIdCount] = {
    {0xADDE, 0xEFBE},  // arrives as the bytes DE AD, BE EF
    {0xB4E9, 0x0001},
    {0xB4E9, 0x0002},
    {0xB4E9, 0x0004},
};

}  // namespace usbdrv

#endif
