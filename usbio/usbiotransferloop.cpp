// The loop of the read and the write worker.
#include "usbio/usbiothread.h"

void CUsbIoThread::RunTransferLoop(bool reading) {
  DWORD errorCount = 0;
  if (InterlockedCompareExchange(&bufferPool.freeCount, 0, 0) == 0) {
    return;
  }
  queueHead = nullptr;
  queueTail = nullptr;

  for (;;) {
    if (InterlockedCompareExchange(&stopRequested, 0, 0) != 0 || errorCount > errorLimit) {
      break;
    }

    // Fill: keep every free buffer submitted. The stop request is tested
    // before and after each submission: a transfer submitted after the
    // owner's abort took effect would otherwise stay queued, and the drain
    // would wait for it forever. A stop seen here ends the fill only: the
    // oldest transfer is still waited for and handed over, as when the stop
    // comes during the wait, and the next pass ends the loop.
    bool leave = false;
    CUsbIoBuffer* buffer;
    while ((buffer = bufferPool.Take()) != nullptr) {
      PrepareBuffer(buffer);
      if (buffer->streamEnd != 0) {
        bufferPool.Give(buffer);
        leave = !reading;  // a write stream ends here; a read pass only ends its fill
        break;
      }
      if (reading && buffer->requestLength == 0) {
        bufferPool.Give(buffer);
        break;
      }
      if (InterlockedCompareExchange(&stopRequested, 0, 0) != 0) {
        bufferPool.Give(buffer);
        break;
      }
      if (reading) {
        SubmitRead(buffer);
      } else {
        SubmitWrite(buffer);
      }
      buffer->next = nullptr;
      if (queueTail == nullptr) {
        queueHead = buffer;
      } else {
        queueTail->next = buffer;
      }
      queueTail = buffer;
      if (InterlockedCompareExchange(&stopRequested, 0, 0) != 0) {
        // The abort may have come before this submission: withdraw this
        // thread's transfers on the handle, so that the wait below and the
        // drain end. CancelIo only asks the driver to cancel, and a driver
        // that does not honour it would leave them queued for ever; the
        // endpoint is therefore aborted once more from this thread, after
        // its last submission.
        CancelOutstandingIo();
        AbortEndpoint();
        break;
      }
    }
    if (leave || queueHead == nullptr) {
      break;
    }

    CUsbIoBuffer* head = queueHead;
    DWORD result = AwaitTransfer(head, INFINITE);
    if (result != 0) {
      // A powered-down device neither counts nor resets the count.
      if (result != USBIO_STATUS_POWERED_DOWN) {
        errorCount++;
      }
      OnTransferError(head);
    } else {
      errorCount = 0;
    }
    queueHead = head->next;
    if (queueHead == nullptr) {
      queueTail = nullptr;
    }
    head->next = nullptr;
    if (reading) {
      OnTransferDone(head);
    }
    bufferPool.Give(head);
  }

  // Drain: collect what is still queued; no virtual operation sees it.
  while (queueHead != nullptr) {
    CUsbIoBuffer* head = queueHead;
    AwaitTransfer(head, INFINITE);
    queueHead = head->next;
    head->next = nullptr;
    bufferPool.Give(head);
  }
  queueTail = nullptr;
}
