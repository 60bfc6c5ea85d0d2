// Transfer buffers and the buffer pool of the USB access layer.
#ifndef VELKOR_USBIO_USBIOBUFFER_H
#define VELKOR_USBIO_USBIOBUFFER_H

#include <windows.h>

// The record of one transfer: a data area with its own overlapped record and
// event, and the request and result of the transfer.
class CUsbIoBuffer {
 public:
  CUsbIoBuffer();
  // A buffer over caller memory, which it does not own (WriteBlocking).
  CUsbIoBuffer(void* data, DWORD size);
  ~CUsbIoBuffer();

  DWORD requestLength;  // bytes the next transfer is to move
  DWORD actualLength;   // bytes the last transfer moved
  DWORD status;         // 0 done, ERROR_IO_PENDING queued, else the failure
  CUsbIoBuffer* next;   // link of the free list or of a pending queue
  DWORD streamEnd;      // set by PrepareBuffer to keep the buffer from being submitted
  BYTE* dataPtr;        // first data byte; never owned by the buffer
  DWORD capacity;       // size of the data area
  OVERLAPPED overlapped;

 private:
  CUsbIoBuffer(const CUsbIoBuffer&) = delete;
  CUsbIoBuffer& operator=(const CUsbIoBuffer&) = delete;
};

// A fixed set of buffers with a locked, last-in-first-out free list.
class CUsbIoBufferPool {
 public:
  CUsbIoBufferPool();
  ~CUsbIoBufferPool();

  BOOL Build(DWORD size, DWORD count);
  void Clear();
  CUsbIoBuffer* Take();
  void Give(CUsbIoBuffer* buffer);

  CRITICAL_SECTION lock;
  CUsbIoBuffer* freeHead;
  volatile LONG freeCount;
  CUsbIoBuffer* records;
  BYTE* dataBlock;

 private:
  CUsbIoBufferPool(const CUsbIoBufferPool&) = delete;
  CUsbIoBufferPool& operator=(const CUsbIoBufferPool&) = delete;
};

#endif
