// The receive callback of the shell dialogues: an append-only response buffer
// of received transfers and the waits for an expected answer.
#ifndef VELKOR_APP_TEXTCALLBACK_H
#define VELKOR_APP_TEXTCALLBACK_H

#include <windows.h>

#include <atomic>

#include "usbhandler/usbcallback.h"

// Every received transfer is stored followed by a zero byte; the stored
// pieces up to each zero byte are the chunks that the command thread takes in
// order. An answer is recognised only as a whole chunk: its text up to the
// first CR, LF or zero byte must equal the expected text.
//
// onRecv runs on the link's read worker and only appends; everything else
// runs on the command's thread and only reads below the published write
// position. No lock is needed.
class CTextCallback : public CUsbCallback {
 public:
  enum { bufferSize = 8192, semaphoreMax = 32 };

  CTextCallback();
  ~CTextCallback();

  void onRecv(CUsbIoBuffer* buffer) override;

  // The next stored chunk as a new string (free it with delete[]) with every
  // CR and LF turned into a zero byte, or nullptr when none is stored.
  char* nextLine();
  // Consumes chunks up to the first one equal to first (1) or second (2);
  // 0 when the stored chunks run out. Either text may be nullptr.
  int matchLines(const char* first, const char* second);
  // Waits up to ms milliseconds for a chunk equal to text: 1 found, 0 time
  // ran out, -1 waiting failed. Sets the echo switch to echo.
  int waitFor(const char* text, int ms, bool echo);
  // As waitFor for either of two texts: 1, 2, 0 or -1. Leaves the echo switch.
  int waitForEither(const char* first, const char* second, int ms);
  // Sets the echo switch: from now on onRecv prints every stored transfer.
  void setEcho(bool echo);

  // The state, open for inspection.
  HANDLE semaphore;
  char response[bufferSize];
  std::atomic<DWORD> writePosition;  // published with release after the bytes
  DWORD readPosition;                // command thread only
  std::atomic<bool> echoEnabled;

 private:
  CTextCallback(const CTextCallback&) = delete;
  CTextCallback& operator=(const CTextCallback&) = delete;

  int waitForMatch(const char* first, const char* second, int ms);
};

#endif
