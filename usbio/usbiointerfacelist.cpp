// The interface list of a class and the lookup of one interface's device
// path, through the setup API loaded by setupApi.
#include <string.h>

#include <new>

#include "usbio/setupapiloader.h"
#include "usbio/usbiodevice.h"

HDEVINFO CUsbIoDevice::BuildInterfaceList(const GUID* interfaceClassGuid) {
  if (!setupApi.EnsureLoaded()) {
    return nullptr;
  }
  HDEVINFO list = setupApi.getClassDevs(interfaceClassGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == reinterpret_cast<HDEVINFO>(INVALID_HANDLE_VALUE)) {
    return nullptr;
  }
  return list;
}

void CUsbIoDevice::FreeInterfaceList(HDEVINFO interfaceList) {
  if (setupApi.EnsureLoaded() && interfaceList != nullptr) {
    setupApi.destroyDeviceInfoList(interfaceList);
  }
}

DWORD CUsbIoDevice::LookupInterfacePath(int index, HDEVINFO interfaceList,
                                        const GUID* interfaceClassGuid) {
  if (interfaceList == nullptr || interfaceClassGuid == nullptr) {
    return USBIO_STATUS_INVALID_PARAMETER;
  }
  if (!setupApi.EnsureLoaded()) {
    return USBIO_STATUS_NO_SETUP_API;
  }
  if (interfaceDetail != nullptr) {
    delete[] reinterpret_cast<BYTE*>(interfaceDetail);
    interfaceDetail = nullptr;
  }

  SP_DEVICE_INTERFACE_DATA interfaceData;
  memset(&interfaceData, 0, sizeof(interfaceData));
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  if (!setupApi.enumDeviceInterfaces(interfaceList, nullptr, interfaceClassGuid,
                                     static_cast<DWORD>(index), &interfaceData)) {
    DWORD error = GetLastError();
    return error == ERROR_NO_MORE_ITEMS ? USBIO_STATUS_NO_SUCH_INSTANCE : error;
  }

  // The size probe fails by design while it reports the size.
  DWORD required = 0;
  setupApi.getDeviceInterfaceDetail(interfaceList, &interfaceData, nullptr, 0, &required, nullptr);
  if (required == 0) {
    return USBIO_STATUS_FAILED;
  }
  // Never smaller than the record's fixed part, which is written below.
  size_t blockSize = required;
  if (blockSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    blockSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  }
  BYTE* block = new (std::nothrow) BYTE[blockSize];
  if (block == nullptr) {
    return USBIO_STATUS_NO_MEMORY;
  }
  memset(block, 0, blockSize);
  interfaceDetail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block);
  interfaceDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!setupApi.getDeviceInterfaceDetail(interfaceList, &interfaceData, interfaceDetail, required,
                                         &required, nullptr)) {
    return GetLastError();
  }
  return 0;
}

const char* CUsbIoDevice::CachedDevicePath() const {
  if (interfaceDetail == nullptr) {
    return nullptr;
  }
  return interfaceDetail->DevicePath;
}
