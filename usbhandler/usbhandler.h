// The device link: one object per command that finds the handset, attaches
// a pair of bulk endpoints, keeps reads queued on a worker thread that hands
// every completed read to a callback, and writes blocks to the handset.
#ifndef VELKOR_USBHANDLER_USBHANDLER_H
#define VELKOR_USBHANDLER_USBHANDLER_H

#include "usbhandler/usbcallback.h"
#include "usbhandler/usbcallbackreader.h"
#include "usbio/usbiothread.h"

class CUsbHandler {
 public:
  explicit CUsbHandler(CUsbCallback* callback);
  virtual ~CUsbHandler();

  // Finds the handset and attaches IN (endpoint | 0x80) and OUT (endpoint).
  bool Connect(int endpoint);
  // Gives the reader 32 buffers of 4096 bytes and starts its thread.
  bool StartReceiving();
  // Writes the block and waits for it, at most 5000 ms; returns the moved
  // count, 0 on failure. A write not taken in time is withdrawn, and the
  // link is stuck from then on: every later Send returns 0 at once.
  int Send(const void* data, int length);
  // True once a write has timed out: the handset takes nothing more.
  bool IsStuck() const;
  // Stops the reader, frees its buffers and closes both endpoints.
  void Disconnect();

 private:
  CUsbHandler(const CUsbHandler&) = delete;
  CUsbHandler& operator=(const CUsbHandler&) = delete;

  int instanceIndex;
  bool receiving;
  bool stuck;  // command thread only, like every call of the link
  CUsbCallbackReader reader;
  CUsbIoWriteThread writer;
};

#endif
