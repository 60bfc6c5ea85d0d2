// The receive callback of the device link.
#ifndef VELKOR_USBHANDLER_USBCALLBACK_H
#define VELKOR_USBHANDLER_USBCALLBACK_H

#include "usbio/usbiobuffer.h"

// Called on the link's read worker thread once for every completed read, in
// submission order, failed reads included (their actualLength is normally 0).
// The buffer is lent for the call only. Callbacks are never deleted through
// this interface, so it has no virtual destructor.
class CUsbCallback {
 public:
  virtual void onRecv(CUsbIoBuffer* buffer);

 protected:
  ~CUsbCallback() = default;
};

#endif
