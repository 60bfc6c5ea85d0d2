// Firmware upload to the handset's loader on endpoint number 7.
#ifndef VELKOR_APP_UPLOAD_H
#define VELKOR_APP_UPLOAD_H

#include <windows.h>

#include "usbhandler/usbcallback.h"

// Counts the loader's acknowledgements: a transfer that is exactly "#" and
// the number expected next (a NUL after the digits allowed) moves the count
// on and releases the semaphore once. Runs on the link's read worker.
class CAckCallback : public CUsbCallback {
 public:
  explicit CAckCallback(HANDLE semaphore);

  void onRecv(CUsbIoBuffer* buffer) override;

  // Owned by the read worker once receiving has started.
  LONG expectedAck;     // number of the next acknowledgement
  LONG previousCount;   // semaphore count before the last release (trace only)
  HANDLE ackSemaphore;  // not owned
};

// Uploads a firmware image to the handset's loader. Returns the exit status:
// 0 when the whole image was acknowledged, 1 when the handset is not found or
// the file is refused, 2 when the transfer failed after the header was built.
int uploadCommand(const char* fileName);

#endif
