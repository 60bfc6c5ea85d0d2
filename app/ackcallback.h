// The upload's receive callback: counts the loader's acknowledgements.
#ifndef VELKOR_APP_ACKCALLBACK_H
#define VELKOR_APP_ACKCALLBACK_H

#include <windows.h>

#include "usbhandler/usbcallback.h"

// A transfer that is exactly "#" and the number expected next (a NUL after
// the digits allowed) moves the count on and releases the semaphore once.
// Runs on the link's read worker.
class CAckCallback : public CUsbCallback {
 public:
  explicit CAckCallback(HANDLE semaphore);

  void onRecv(CUsbIoBuffer* buffer) override;

  // Owned by the read worker once receiving has started.
  LONG expectedAck;     // number of the next acknowledgement
  LONG previousCount;   // semaphore count before the last release (trace only)
  HANDLE ackSemaphore;  // not owned
};

#endif
