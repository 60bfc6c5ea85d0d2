#include "overlapped.h"

#include <mutex>

namespace posixplat {

ULONG_PTR LoadStatus(const OVERLAPPED* record) {
  return __atomic_load_n(&record->Internal, __ATOMIC_ACQUIRE);
}

DWORD LoadBytes(const OVERLAPPED* record) {
  return static_cast<DWORD>(__atomic_load_n(&record->InternalHigh, __ATOMIC_RELAXED));
}

void MarkPending(OVERLAPPED* record) {
  __atomic_store_n(&record->InternalHigh, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&record->Internal, kPending, __ATOMIC_RELEASE);
}

void MarkPendingOnEntry(LPOVERLAPPED record) {
  if (record != nullptr) MarkPending(record);
}

void Publish(OVERLAPPED* record, const std::shared_ptr<EventObject>& event, uint32_t status,
             uint32_t bytes) {
  __atomic_store_n(&record->InternalHigh, bytes, __ATOMIC_RELAXED);
  __atomic_store_n(&record->Internal, status, __ATOMIC_RELEASE);
  if (event) {
    event->Set();
  } else {
    NotifyWaiters();
  }
}

void WaitForRecord(const OVERLAPPED* record) {
  std::unique_lock<std::mutex> guard(WaitLock());
  WaitingScope waiting;
  WaitChanged().wait(guard, [&] { return LoadStatus(record) != kPending; });
}

bool LookupRecordEvent(const OVERLAPPED* record, std::shared_ptr<EventObject>* event) {
  event->reset();
  if (record == nullptr || record->hEvent == nullptr) return true;
  *event = LookupHandleAs<EventObject>(record->hEvent);
  return *event != nullptr;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace posixplat

// With waiting, as on Windows: a record with an event is waited for through
// its event alone, once, and then read as it stands; one that is still
// running then counts as a success. A record without an event is waited for
// until its operation has ended.
extern "C" BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped,
                                           LPDWORD numberOfBytesTransferred, BOOL wait) {
  using namespace posixplat;
  if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  uint32_t status = static_cast<uint32_t>(LoadStatus(overlapped));
  if (status == kPending) {
    if (!wait) return Fail(ERROR_IO_INCOMPLETE);
    if (overlapped->hEvent != nullptr) {
      if (WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
    } else {
      WaitForRecord(overlapped);
    }
    status = static_cast<uint32_t>(LoadStatus(overlapped));
    if (status == kPending) status = 0;
  }
  if (numberOfBytesTransferred != nullptr) *numberOfBytesTransferred = LoadBytes(overlapped);
  return status == 0 ? TRUE : Fail(status);
}
