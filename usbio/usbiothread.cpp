#include "usbio/usbiothread.h"

#include <process.h>
#include <string.h>

namespace {

const char kStillRunningText[] =
    "CUsbIoThread::~CUsbIoThread(): Thread is still running! ShutdownThread() must be called "
    "before the object is destroyed!\n";

// An atomic read of the worker handle.
HANDLE PeekHandle(HANDLE volatile* handle) {
  return InterlockedCompareExchangePointer(handle, nullptr, nullptr);
}

}  // namespace

CUsbIoThread::CUsbIoThread()
    : workerHandle(nullptr),
      workerId(0),
      stopRequested(0),
      errorLimit(3),
      queueHead(nullptr),
      queueTail(nullptr) {}

CUsbIoThread::~CUsbIoThread() {
  // The subclasses have stopped a running worker already (the loop and the
  // cancellation are theirs and gone by now); stop what is left without them.
  if (PeekHandle(&workerHandle) != nullptr) {
    OutputDebugStringA(kStillRunningText);
    HANDLE handle = InterlockedExchangePointer(&workerHandle, nullptr);
    if (handle != nullptr) {
      InterlockedExchange(&stopRequested, 1);
      AbortEndpoint();
      WaitForSingleObject(handle, INFINITE);
      CloseHandle(handle);
    }
  }
  DiscardBuffers();
}

void CUsbIoThread::StopWorkerOnDestruction() {
  if (PeekHandle(&workerHandle) != nullptr) {
    OutputDebugStringA(kStillRunningText);
    ShutdownThread();
  }
}

bool CUsbIoThread::CreateBuffers(DWORD size, DWORD count) {
  return bufferPool.Build(size, count) != FALSE;
}

void CUsbIoThread::DiscardBuffers() { bufferPool.Clear(); }

bool CUsbIoThread::LaunchWorker(DWORD limit) {
  if (PeekHandle(&workerHandle) != nullptr) {
    return false;
  }
  InterlockedExchange(&stopRequested, 0);
  errorLimit = limit;
  HANDLE handle = reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, &CUsbIoThread::WorkerEntry, this, 0, &workerId));
  // An atomic store: a worker that has already finished may be exchanging
  // the handle at this moment (it then found none and left it to
  // ShutdownThread).
  InterlockedExchangePointer(&workerHandle, handle);
  return handle != nullptr;
}

bool CUsbIoThread::ShutdownThread() {
  HANDLE handle = InterlockedExchangePointer(&workerHandle, nullptr);
  if (handle == nullptr) {
    return true;
  }
  // Set before the cancellation: the pass the cancellation wakes is the last.
  InterlockedExchange(&stopRequested, 1);
  CancelTransfers();
  DWORD wait = WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
  return wait == WAIT_OBJECT_0;
}

unsigned __stdcall CUsbIoThread::WorkerEntry(void* object) {
  CUsbIoThread* worker = static_cast<CUsbIoThread*>(object);
  worker->WorkerLoop();
  worker->OnWorkerExit();
  HANDLE handle = InterlockedExchangePointer(&worker->workerHandle, nullptr);
  if (handle != nullptr) {
    CloseHandle(handle);
  }
  return 0;
}

void CUsbIoThread::OnTransferDone(CUsbIoBuffer*) {}

void CUsbIoThread::PrepareBuffer(CUsbIoBuffer* buffer) {
  memset(buffer->dataPtr, 0, buffer->capacity);
  buffer->requestLength = buffer->capacity;
  buffer->actualLength = 0;
}

void CUsbIoThread::OnTransferError(CUsbIoBuffer*) {}

void CUsbIoThread::OnWorkerExit() {}
