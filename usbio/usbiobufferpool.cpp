#include <new>

#include "usbio/usbiobuffer.h"

CUsbIoBufferPool::CUsbIoBufferPool()
    : freeHead(nullptr), freeCount(0), records(nullptr), dataBlock(nullptr) {
  InitializeCriticalSection(&lock);
}

CUsbIoBufferPool::~CUsbIoBufferPool() {
  Clear();
  DeleteCriticalSection(&lock);
}

BOOL CUsbIoBufferPool::Build(DWORD size, DWORD count) {
  BOOL built = FALSE;
  EnterCriticalSection(&lock);
  if (records == nullptr) {
    records = new (std::nothrow) CUsbIoBuffer[count];
    if (records != nullptr) {
      // size * count computed in 64 bits: a product that does not fit is
      // refused rather than wrapped into a short block.
      unsigned long long total = static_cast<unsigned long long>(size) * count;
      if (total == static_cast<size_t>(total)) {
        dataBlock = new (std::nothrow) BYTE[static_cast<size_t>(total)];
      }
      if (dataBlock == nullptr) {
        delete[] records;
        records = nullptr;
      } else {
        for (DWORD i = 0; i < count; i++) {
          CUsbIoBuffer* buffer = &records[i];
          buffer->dataPtr = dataBlock + static_cast<size_t>(i) * size;
          buffer->capacity = size;
          buffer->next = freeHead;
          freeHead = buffer;
        }
        InterlockedExchange(&freeCount, static_cast<LONG>(count));
        built = TRUE;
      }
    }
  }
  LeaveCriticalSection(&lock);
  return built;
}

void CUsbIoBufferPool::Clear() {
  EnterCriticalSection(&lock);
  // delete[] destroys the records last to first; each closes its event.
  delete[] records;
  delete[] dataBlock;
  records = nullptr;
  dataBlock = nullptr;
  freeHead = nullptr;
  InterlockedExchange(&freeCount, 0);
  LeaveCriticalSection(&lock);
}

CUsbIoBuffer* CUsbIoBufferPool::Take() {
  EnterCriticalSection(&lock);
  CUsbIoBuffer* buffer = freeHead;
  if (buffer != nullptr) {
    freeHead = buffer->next;
    buffer->next = nullptr;
    InterlockedDecrement(&freeCount);
  }
  LeaveCriticalSection(&lock);
  return buffer;
}

void CUsbIoBufferPool::Give(CUsbIoBuffer* buffer) {
  EnterCriticalSection(&lock);
  buffer->next = freeHead;
  freeHead = buffer;
  InterlockedIncrement(&freeCount);
  LeaveCriticalSection(&lock);
}
