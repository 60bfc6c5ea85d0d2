#ifndef VELKOR_APP_INTERACTIVE_H
#define VELKOR_APP_INTERACTIVE_H

#include "usbhandler/usbcallback.h"

// Writes every received byte to the console, a carriage return before each
// line feed that does not follow one within the same transfer.
class CEchoCallback : public CUsbCallback {
 public:
  void onRecv(CUsbIoBuffer* buffer) override;
};

// A terminal on the handset's shell until Ctrl-C. Returns the exit status:
// 0 after Ctrl-C, 1 when the handset was not found.
int interactiveCommand();

#endif
