#include "usbio/usbiobuffer.h"

#include <string.h>

CUsbIoBuffer::CUsbIoBuffer()
    : requestLength(0),
      actualLength(0),
      status(0),
      next(nullptr),
      streamEnd(0),
      dataPtr(nullptr),
      capacity(0) {
  memset(&overlapped, 0, sizeof(overlapped));
  // Auto-reset, not signalled, unnamed. A buffer without an event is refused
  // by the submissions (see CUsbIoEndpoint).
  overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

CUsbIoBuffer::CUsbIoBuffer(void* data, DWORD size) : CUsbIoBuffer() {
  dataPtr = static_cast<BYTE*>(data);
  capacity = size;
}

CUsbIoBuffer::~CUsbIoBuffer() {
  if (overlapped.hEvent != nullptr) {
    CloseHandle(overlapped.hEvent);
    overlapped.hEvent = nullptr;
  }
}
