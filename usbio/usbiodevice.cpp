#include "usbio/usbiodevice.h"

#include <string.h>

CUsbIoDevice::CUsbIoDevice() : deviceHandle(nullptr), interfaceDetail(nullptr) {
  memset(&requestOverlapped, 0, sizeof(requestOverlapped));
  InitializeCriticalSection(&requestLock);
}

CUsbIoDevice::~CUsbIoDevice() {
  CloseInstance();
  DeleteCriticalSection(&requestLock);
}

DWORD CUsbIoDevice::OpenInstance(int index, HDEVINFO interfaceList,
                                 const GUID* interfaceClassGuid) {
  if (deviceHandle != nullptr) {
    return 0;
  }
  DWORD status = LookupInterfacePath(index, interfaceList, interfaceClassGuid);
  if (status != 0) {
    return status;
  }
  HANDLE handle = CreateFileA(CachedDevicePath(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return USBIO_STATUS_DEVICE_NOT_FOUND;
  }
  deviceHandle = handle;
  requestOverlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (requestOverlapped.hEvent == nullptr) {
    CloseInstance();
    return USBIO_STATUS_NO_MEMORY;
  }
  USBIO_DRIVER_INFO info;
  memset(&info, 0, sizeof(info));
  status = QueryDriverInfo(&info);
  if (status != 0) {
    CloseInstance();
    return status;
  }
  if (info.interfaceVersion != USBIO_INTERFACE_VERSION) {
    CloseInstance();
    return USBIO_STATUS_VERSION_MISMATCH;
  }
  return 0;
}

void CUsbIoDevice::CloseInstance() {
  if (deviceHandle != nullptr) {
    CloseHandle(deviceHandle);
    deviceHandle = nullptr;
  }
  if (requestOverlapped.hEvent != nullptr) {
    CloseHandle(requestOverlapped.hEvent);
    requestOverlapped.hEvent = nullptr;
  }
  if (interfaceDetail != nullptr) {
    delete[] reinterpret_cast<BYTE*>(interfaceDetail);
    interfaceDetail = nullptr;
  }
}

DWORD CUsbIoDevice::IoctlRequestSync(DWORD code, const void* input, DWORD inputLength, void* output,
                                     DWORD outputLength, DWORD* bytesReturned) {
  DWORD count = 0;
  if (deviceHandle == nullptr) {
    return USBIO_STATUS_NOT_OPEN;
  }
  DWORD status = 0;
  EnterCriticalSection(&requestLock);
  if (!DeviceIoControl(deviceHandle, code, const_cast<void*>(input), inputLength, output,
                       outputLength, &count, &requestOverlapped)) {
    status = GetLastError();
    if (status == ERROR_IO_PENDING) {
      status =
          GetOverlappedResult(deviceHandle, &requestOverlapped, &count, TRUE) ? 0 : GetLastError();
    }
  }
  LeaveCriticalSection(&requestLock);
  if (bytesReturned != nullptr) {
    *bytesReturned = count;
  }
  return status;
}

DWORD CUsbIoDevice::QueryDriverInfo(USBIO_DRIVER_INFO* info) {
  return IoctlRequestSync(USBIO_REQUEST_DRIVER_INFO, nullptr, 0, info, sizeof(*info), nullptr);
}

DWORD CUsbIoDevice::FetchDescriptor(void* buffer, DWORD* length, DWORD recipient, BYTE type,
                                    BYTE index, WORD language) {
  USBIO_DESCRIPTOR_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.recipient = recipient;
  request.descriptorType = type;
  request.descriptorIndex = index;
  request.languageId = language;
  return IoctlRequestSync(USBIO_REQUEST_GET_DESCRIPTOR, &request, sizeof(request), buffer, *length,
                          length);
}

DWORD CUsbIoDevice::ReadDeviceDescriptor(USBIO_DEVICE_DESCRIPTOR* descriptor) {
  // The delivered count is not examined: a short descriptor goes unnoticed.
  DWORD length = sizeof(*descriptor);
  return FetchDescriptor(descriptor, &length, USBIO_RECIPIENT_DEVICE, USBIO_DESCRIPTOR_TYPE_DEVICE,
                         0, 0);
}

DWORD CUsbIoDevice::QueryConfigurationValue(BYTE* value) {
  BYTE configurationValue = 0;
  DWORD status = IoctlRequestSync(USBIO_REQUEST_GET_CONFIGURATION, nullptr, 0, &configurationValue,
                                  sizeof(configurationValue), nullptr);
  *value = configurationValue;
  return status;
}

DWORD CUsbIoDevice::ApplyConfiguration(const USBIO_SET_CONFIGURATION* request) {
  return IoctlRequestSync(USBIO_REQUEST_SET_CONFIGURATION, request, sizeof(*request), nullptr, 0,
                          nullptr);
}

BOOL CUsbIoDevice::CancelOutstandingIo() { return CancelIo(deviceHandle); }
