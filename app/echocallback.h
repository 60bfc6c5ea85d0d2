// The receive callback of the interactive terminal.
#ifndef VELKOR_APP_ECHOCALLBACK_H
#define VELKOR_APP_ECHOCALLBACK_H

#include "usbhandler/usbcallback.h"

// Writes every received byte to the console, a carriage return before each
// line feed that does not follow one within the same transfer.
class CEchoCallback : public CUsbCallback {
 public:
  void onRecv(CUsbIoBuffer* buffer) override;
};

#endif
