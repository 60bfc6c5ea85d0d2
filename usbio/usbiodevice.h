// One open instance of the USB kernel driver: its handle, the overlapped
// record its control requests share, and the interface-detail record that
// names its device path.
#ifndef VELKOR_USBIO_USBIODEVICE_H
#define VELKOR_USBIO_USBIODEVICE_H

#include <windows.h>
// windows.h first: setupapi.h builds on its types.
#include <setupapi.h>

#include "usbio/usbiodefs.h"

class CUsbIoDevice {
 public:
  CUsbIoDevice();
  virtual ~CUsbIoDevice();

  // Opens the index-th interface of the list (0 when already open, whatever
  // the index) and checks the driver's interface version.
  DWORD OpenInstance(int index, HDEVINFO interfaceList, const GUID* interfaceClassGuid);
  // Releases the handle, the event and the detail record; harmless when closed.
  void CloseInstance();

  DWORD QueryDriverInfo(USBIO_DRIVER_INFO* info);
  // length: in, the room at buffer; out, the bytes the driver delivered.
  DWORD FetchDescriptor(void* buffer, DWORD* length, DWORD recipient, BYTE type, BYTE index,
                        WORD language);
  DWORD ReadDeviceDescriptor(USBIO_DEVICE_DESCRIPTOR* descriptor);
  // Writes *value (0 unless the driver wrote one) whatever the status.
  DWORD QueryConfigurationValue(BYTE* value);
  DWORD ApplyConfiguration(const USBIO_SET_CONFIGURATION* request);
  // One control request, waited for without a time limit. input and output
  // may be null with length 0; bytesReturned is optional and left alone when
  // the object is closed.
  DWORD IoctlRequestSync(DWORD code, const void* input, DWORD inputLength, void* output,
                         DWORD outputLength, DWORD* bytesReturned);
  // CancelIo on the handle: withdraws the calling thread's pending transfers.
  BOOL CancelOutstandingIo();

  // The present interfaces of a class, or null on any failure.
  static HDEVINFO BuildInterfaceList(const GUID* interfaceClassGuid);
  static void FreeInterfaceList(HDEVINFO interfaceList);
  // Finds the index-th interface of the list and caches its detail record.
  DWORD LookupInterfacePath(int index, HDEVINFO interfaceList, const GUID* interfaceClassGuid);
  // The device path of the cached detail record, or null when there is none.
  const char* CachedDevicePath() const;

 protected:
  HANDLE deviceHandle;  // null while closed; never INVALID_HANDLE_VALUE
  OVERLAPPED requestOverlapped;
  CRITICAL_SECTION requestLock;  // guards requestOverlapped
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A interfaceDetail;

 private:
  CUsbIoDevice(const CUsbIoDevice&) = delete;
  CUsbIoDevice& operator=(const CUsbIoDevice&) = delete;
};

#endif
