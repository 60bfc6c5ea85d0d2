// A device object bound to one endpoint: overlapped reads and writes, one
// CUsbIoBuffer per transfer.
#ifndef VELKOR_USBIO_USBIOENDPOINT_H
#define VELKOR_USBIO_USBIOENDPOINT_H

#include "usbio/usbiobuffer.h"
#include "usbio/usbiodevice.h"

class CUsbIoEndpoint : public CUsbIoDevice {
 public:
  CUsbIoEndpoint();
  ~CUsbIoEndpoint() override;

  // Opens the instance unless a handle is held, then binds it to the address
  // (bit 0x80 set for IN). A failed bind leaves the instance open.
  DWORD AttachEndpoint(int index, BYTE endpointAddress, HDEVINFO interfaceList,
                       const GUID* interfaceClassGuid);
  // Ends every transfer queued on the endpoint with a failure status.
  DWORD AbortEndpoint();

  // True when the transfer completed at once or is queued; buffer->status
  // tells which (0 or ERROR_IO_PENDING), or holds the failure.
  bool SubmitRead(CUsbIoBuffer* buffer);
  bool SubmitWrite(CUsbIoBuffer* buffer);
  // Collects a submitted transfer; USBIO_STATUS_TIMEOUT leaves it queued.
  DWORD AwaitTransfer(CUsbIoBuffer* buffer, DWORD timeout);
  // Writes the block and waits for it; *length becomes the moved count.
  DWORD WriteBlocking(const void* data, DWORD* length, DWORD timeout);
};

#endif
