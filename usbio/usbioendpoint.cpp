#include "usbio/usbioendpoint.h"

CUsbIoEndpoint::CUsbIoEndpoint() {}

CUsbIoEndpoint::~CUsbIoEndpoint() {}

DWORD CUsbIoEndpoint::AttachEndpoint(int index, BYTE endpointAddress, HDEVINFO interfaceList,
                                     const GUID* interfaceClassGuid) {
  if (deviceHandle == nullptr) {
    DWORD status = OpenInstance(index, interfaceList, interfaceClassGuid);
    if (status != 0) {
      return status;
    }
  }
  USBIO_BIND_ENDPOINT request;
  request.endpointAddress = endpointAddress;
  return IoctlRequestSync(USBIO_REQUEST_BIND_ENDPOINT, &request, sizeof(request), nullptr, 0,
                          nullptr);
}

DWORD CUsbIoEndpoint::AbortEndpoint() {
  return IoctlRequestSync(USBIO_REQUEST_ABORT_ENDPOINT, nullptr, 0, nullptr, 0, nullptr);
}

bool CUsbIoEndpoint::SubmitRead(CUsbIoBuffer* buffer) {
  // Without its own event the transfer could never be collected, and the
  // buffer would be reused while the system still holds it: refused.
  if (buffer->overlapped.hEvent == nullptr) {
    buffer->status = USBIO_STATUS_NO_MEMORY;
    return false;
  }
  if (ReadFile(deviceHandle, buffer->dataPtr, buffer->requestLength, &buffer->actualLength,
               &buffer->overlapped)) {
    buffer->status = 0;
    return true;
  }
  buffer->status = GetLastError();
  return buffer->status == ERROR_IO_PENDING;
}

bool CUsbIoEndpoint::SubmitWrite(CUsbIoBuffer* buffer) {
  if (buffer->overlapped.hEvent == nullptr) {
    buffer->status = USBIO_STATUS_NO_MEMORY;
    return false;
  }
  if (WriteFile(deviceHandle, buffer->dataPtr, buffer->requestLength, &buffer->actualLength,
                &buffer->overlapped)) {
    buffer->status = 0;
    return true;
  }
  buffer->status = GetLastError();
  return buffer->status == ERROR_IO_PENDING;
}

DWORD CUsbIoEndpoint::AwaitTransfer(CUsbIoBuffer* buffer, DWORD timeout) {
  if (buffer->status != ERROR_IO_PENDING) {
    return buffer->status;
  }
  DWORD wait = WaitForSingleObject(buffer->overlapped.hEvent, timeout);
  if (wait == WAIT_OBJECT_0) {
    if (GetOverlappedResult(deviceHandle, &buffer->overlapped, &buffer->actualLength, FALSE)) {
      buffer->status = 0;
    } else {
      buffer->status = GetLastError();
    }
    return buffer->status;
  }
  if (wait == WAIT_TIMEOUT) {
    return USBIO_STATUS_TIMEOUT;
  }
  return wait;
}

DWORD CUsbIoEndpoint::WriteBlocking(const void* data, DWORD* length, DWORD timeout) {
  CUsbIoBuffer buffer(const_cast<void*>(data), *length);
  buffer.requestLength = *length;
  SubmitWrite(&buffer);
  DWORD result = AwaitTransfer(&buffer, timeout);
  if (buffer.status == ERROR_IO_PENDING) {
    // Timed out or the wait failed: the write is still queued. Withdraw it
    // and wait until the system has let go of the buffer before it goes.
    CancelOutstandingIo();
    AwaitTransfer(&buffer, INFINITE);
    if (buffer.status == ERROR_IO_PENDING) {
      GetOverlappedResult(deviceHandle, &buffer.overlapped, &buffer.actualLength, TRUE);
    }
  }
  *length = buffer.actualLength;
  return result;
}
