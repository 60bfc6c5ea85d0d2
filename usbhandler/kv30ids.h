// How the KV30 handset is recognised: the driver's interface class and the
// vendor and product identifiers of its device descriptor.
#ifndef VELKOR_USBHANDLER_KV30IDS_H
#define VELKOR_USBHANDLER_KV30IDS_H

#include <windows.h>

// {3B7D51E2-9C04-4A6F-B812-6E0D2C9F7A35}
constexpr GUID KV30_INTERFACE_CLASS_GUID = {
    0x3B7D51E2, 0x9C04, 0x4A6F, {0xB8, 0x12, 0x6E, 0x0D, 0x2C, 0x9F, 0x7A, 0x35}};

struct KV30_DEVICE_ID {
  WORD idVendor;
  WORD idProduct;
};

// Tried in this order.
constexpr int KV30_DEVICE_ID_COUNT = 4;
constexpr KV30_DEVICE_ID KV30_DEVICE_IDS[KV30_DEVICE_ID_COUNT] = {
    {0xADDE, 0xEFBE},
    {0xB4E9, 0x0001},
    {0xB4E9, 0x0002},
    {0xB4E9, 0x0004},
};

#endif
