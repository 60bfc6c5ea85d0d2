// The bench's device interfaces as programs see them: interface classes as
// GUIDs and back, and the device path the setup API lists for one.
#ifndef VELKOR_WINBENCH_SERVER_DEVICE_INTERFACES_H
#define VELKOR_WINBENCH_SERVER_DEVICE_INTERFACES_H

#include <windows.h>

#include <string>

#include "usbdrv/device.h"

namespace winbench {

GUID ToGuid(const usbdrv::InterfaceClass& interfaceClass);
usbdrv::InterfaceClass ToInterfaceClass(const GUID& guid);

// The device path of the index-th present interface of a class; "" when
// there is none (`error` then holds GetLastError of the enumeration).
std::string InterfacePath(const GUID& interfaceClass, DWORD index, DWORD* error = nullptr);

}  // namespace winbench

#endif
