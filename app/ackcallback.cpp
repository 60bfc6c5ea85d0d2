#include "app/ackcallback.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/trace.h"

namespace {

const DWORD kReadBufferSize = 4096;  // data area of the link's read buffers

}  // namespace

CAckCallback::CAckCallback(HANDLE semaphore)
    : expectedAck(0), previousCount(0), ackSemaphore(semaphore) {}

void CAckCallback::onRecv(CUsbIoBuffer* buffer) {
  DWORD length = buffer->actualLength;
  const char* text = reinterpret_cast<const char*>(buffer->dataPtr);
  if (text == NULL) length = 0;
  if (traceEnabled) {
    // At most the received bytes: a full buffer has no NUL after them.
    printf("onRecv #%i sema:%i <%i,%.*s>\n", static_cast<int>(expectedAck),
           static_cast<int>(previousCount), static_cast<int>(buffer->actualLength),
           static_cast<int>(length), text != NULL ? text : "");
  }
  // The read that ending the link cuts short carries no bytes: not an answer.
  if (length == 0) return;

  // The digits must end at a NUL: one inside the transfer, or the one the
  // zero-filled read buffer puts right after it. A transfer that fills the
  // whole buffer has none after it and is never an acknowledgement.
  bool accepted = false;
  if (length > 1 && length < kReadBufferSize && text[0] == '#') {
    char copy[kReadBufferSize];
    memcpy(copy, text, length);
    copy[length] = '\0';
    char* rest = NULL;
    long value = strtol(copy + 1, &rest, 10);
    accepted = *rest == '\0' && value == expectedAck;
  }
  if (!accepted) {
    printf("Error: unexpected usb ack #%i\n", static_cast<int>(expectedAck));
    return;
  }
  expectedAck++;
  ReleaseSemaphore(ackSemaphore, 1, &previousCount);
}
