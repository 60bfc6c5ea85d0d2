#include "winbench/server/device_interfaces.h"

// After windows.h.
#include <setupapi.h>

#include <cstring>
#include <vector>

namespace winbench {

GUID ToGuid(const usbdrv::InterfaceClass& interfaceClass) {
  GUID guid;
  guid.Data1 = interfaceClass.data1;
  guid.Data2 = interfaceClass.data2;
  guid.Data3 = interfaceClass.data3;
  std::memcpy(guid.Data4, interfaceClass.data4, sizeof guid.Data4);
  return guid;
}

usbdrv::InterfaceClass ToInterfaceClass(const GUID& guid) {
  usbdrv::InterfaceClass interfaceClass;
  interfaceClass.data1 = guid.Data1;
  interfaceClass.data2 = guid.Data2;
  interfaceClass.data3 = guid.Data3;
  std::memcpy(interfaceClass.data4, guid.Data4, sizeof interfaceClass.data4);
  return interfaceClass;
}

std::string InterfacePath(const GUID& interfaceClass, DWORD index, DWORD* error) {
  HDEVINFO list = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = GetLastError();
    return "";
  }
  std::string path;
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof data;
  if (SetupDiEnumDeviceInterfaces(list, nullptr, &interfaceClass, index, &data)) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &needed, nullptr);
    std::vector<char> room(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(room.data());
    detail->cbSize = sizeof *detail;
    if (needed != 0 &&
        SetupDiGetDeviceInterfaceDetailA(list, &data, detail, needed, nullptr, nullptr)) {
      path = detail->DevicePath;
    }
  } else if (error != nullptr) {
    *error = GetLastError();
  }
  SetupDiDestroyDeviceInfoList(list);
  return path;
}

}  // namespace winbench
