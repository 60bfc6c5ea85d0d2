#include "usbhandler/usbcallbackreader.h"

CUsbCallbackReader::CUsbCallbackReader(CUsbCallback* callback) : callback(callback) {}

CUsbCallbackReader::~CUsbCallbackReader() {
  // The worker calls this object's overrides: it must not outlive them.
  StopWorkerOnDestruction();
}

void CUsbCallbackReader::OnTransferDone(CUsbIoBuffer* buffer) {
  if (callback != nullptr && buffer != nullptr) {
    callback->onRecv(buffer);
  }
}

void CUsbCallbackReader::OnWorkerExit() {}
