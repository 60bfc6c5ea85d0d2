// The device link's read worker: hands every completed read to the command's
// callback.
#ifndef VELKOR_USBHANDLER_USBCALLBACKREADER_H
#define VELKOR_USBHANDLER_USBCALLBACKREADER_H

#include "usbhandler/usbcallback.h"
#include "usbio/usbiothread.h"

class CUsbCallbackReader : public CUsbIoReadThread {
 public:
  explicit CUsbCallbackReader(CUsbCallback* callback);
  ~CUsbCallbackReader() override;

 protected:
  void OnTransferDone(CUsbIoBuffer* buffer) override;
  void OnWorkerExit() override;

 private:
  CUsbCallback* callback;  // not owned
};

#endif
