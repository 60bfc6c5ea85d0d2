// Workers: an endpoint that keeps its transfers going on a thread of its own,
// with a pool of buffers, handing each finished transfer to virtual operations.
#ifndef VELKOR_USBIO_USBIOTHREAD_H
#define VELKOR_USBIO_USBIOTHREAD_H

#include "usbio/usbiobuffer.h"
#include "usbio/usbioendpoint.h"

class CUsbIoThread : public CUsbIoEndpoint {
 public:
  CUsbIoThread();
  ~CUsbIoThread() override;

  bool CreateBuffers(DWORD size, DWORD count);
  // Only while no worker runs.
  void DiscardBuffers();
  // False when a worker is already set up; errorLimit is the number of
  // consecutive counted errors the loop tolerates.
  bool LaunchWorker(DWORD errorLimit);
  // Stops the worker and waits for its thread to end; true when none ran or
  // the wait succeeded.
  bool ShutdownThread();

 protected:
  // Called on the worker thread.
  virtual void OnTransferDone(CUsbIoBuffer* buffer);
  // Zero-fills the data area, requestLength = capacity, actualLength = 0.
  virtual void PrepareBuffer(CUsbIoBuffer* buffer);
  virtual void OnTransferError(CUsbIoBuffer* buffer);
  virtual void OnWorkerExit();
  virtual void WorkerLoop() = 0;
  // Makes the transfers the loop waits for complete (called by ShutdownThread).
  virtual void CancelTransfers() = 0;

  // Every worker class with overrides calls this first in its destructor: a
  // worker still running at destruction is reported on the debugger output
  // and stopped before anything it uses goes away.
  void StopWorkerOnDestruction();
  // The loop of both workers: reading picks the read or the write variant.
  void RunTransferLoop(bool reading);

  static unsigned __stdcall WorkerEntry(void* object);

  CUsbIoBufferPool bufferPool;
  HANDLE volatile workerHandle;  // exchanged atomically: exactly one side closes it
  unsigned workerId;
  volatile LONG stopRequested;  // interlocked: written by the owner, read by the worker
  DWORD errorLimit;
  CUsbIoBuffer* queueHead;  // pending queue, worker thread only
  CUsbIoBuffer* queueTail;
};

// Keeps reads queued on an IN endpoint.
class CUsbIoReadThread : public CUsbIoThread {
 public:
  CUsbIoReadThread();
  ~CUsbIoReadThread() override;

 protected:
  void WorkerLoop() override;
  void CancelTransfers() override;
};

// Keeps writes queued on an OUT endpoint. The device link uses it only for
// WriteBlocking; its thread is never launched there.
class CUsbIoWriteThread : public CUsbIoThread {
 public:
  CUsbIoWriteThread();
  ~CUsbIoWriteThread() override;

 protected:
  void WorkerLoop() override;
  void CancelTransfers() override;
};

#endif
