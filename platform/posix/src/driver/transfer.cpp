// The data path on a bound driver handle: ReadFile and WriteFile as
// overlapped transfers of the session, CancelIo, and the delivery of their
// results on the driver's completion thread.
#include <windows.h>

#include <algorithm>

#include "driver_file.h"
#include "overlapped.h"

namespace posixplat {

void TransferOp::Complete(uint32_t completionStatus, uint32_t actualLength) {
  std::lock_guard<std::mutex> guard(CompletionLock());
  if (state == State::kCompletedInline || state == State::kQueued) return;  // a second call
  status = completionStatus == kPending ? ERROR_GEN_FAILURE : completionStatus;
  actual = std::min(actualLength, length);
  if (state == State::kSubmitting) {
    state = State::kCompletedInline;
  } else {
    state = State::kQueued;
    QueueCompletionLocked(this);
  }
}

bool TransferOp::Completed() {
  std::lock_guard<std::mutex> guard(CompletionLock());
  return state == State::kCompletedInline || state == State::kQueued;
}

void TransferOp::Deliver() {
  // Published first: a cancellation that still holds the operation may free
  // it as soon as it is off the file's list.
  Publish(record, event, status, actual);
  std::shared_ptr<DriverFile> owner = file;
  // The last reference to a closed handle may go with the operation.
  if (owner->Remove(this)) delete this;
}

BOOL DriverFile::Transfer(bool in, void* data, DWORD length, LPDWORD done, OVERLAPPED* overlapped,
                          const std::shared_ptr<DriverFile>& self) {
  if (done != nullptr) *done = 0;
  if (data == nullptr && length != 0) return Fail(ERROR_INVALID_PARAMETER);
  std::shared_ptr<EventObject> event;
  if (!LookupRecordEvent(overlapped, &event)) return Fail(ERROR_INVALID_HANDLE);
  // Without an overlapped record, or on a handle opened without
  // FILE_FLAG_OVERLAPPED, the call waits for the transfer to end.
  const bool wait = overlapped == nullptr || !overlappedIo_;
  OVERLAPPED local{};
  OVERLAPPED* record = overlapped != nullptr ? overlapped : &local;

  uint8_t endpoint = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
  }
  const uint32_t refused = control_.CheckTransfer(in, &endpoint);
  if (refused != 0) return Fail(refused);

  auto* op = new TransferOp;
  op->endpoint = endpoint;
  op->data = static_cast<uint8_t*>(data);
  op->length = length;
  op->file = self;
  op->record = record;
  op->event = event;
  op->threadId = GetCurrentThreadId();
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) {
      delete op;
      return Fail(ERROR_INVALID_HANDLE);
    }
    // Starting an operation clears its event and marks its record running.
    if (event) event->Reset();
    MarkPending(record);
    op->submitting = true;
    pending_.push_back(op);
  }
  // Until the state below becomes kPending, a completion is taken as
  // immediate: the operation is not queued, so it cannot be freed here.
  session_->Submit(op);
  bool cancel;
  {
    std::lock_guard<std::mutex> guard(lock_);
    op->submitting = false;
    cancel = op->cancelRequested;
  }
  if (cancel && !op->Completed()) session_->Cancel(op);

  bool completedInline = false;
  {
    std::lock_guard<std::mutex> guard(CompletionLock());
    if (op->state == TransferOp::State::kCompletedInline) {
      completedInline = true;
    } else {
      op->state = TransferOp::State::kPending;
    }
  }
  if (completedInline) {
    const uint32_t status = op->status;
    const uint32_t actual = op->actual;
    if (Remove(op)) delete op;
    if (status != 0) return Fail(status);
    Publish(record, event, status, actual);
    if (done != nullptr) *done = actual;
    return TRUE;
  }
  if (!wait) return Fail(ERROR_IO_PENDING);
  WaitForRecord(record);
  const uint32_t status = static_cast<uint32_t>(LoadStatus(record));
  if (done != nullptr) *done = LoadBytes(record);
  return status == 0 ? TRUE : Fail(status);
}

}  // namespace posixplat

using posixplat::DriverFile;
using posixplat::LookupHandleAs;

extern "C" {

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD numberOfBytesToRead,
                     LPDWORD numberOfBytesRead, LPOVERLAPPED overlapped) {
  posixplat::MarkPendingOnEntry(overlapped);
  auto file = LookupHandleAs<DriverFile>(handle);
  if (!file) return posixplat::Fail(ERROR_INVALID_HANDLE);
  return file->Transfer(true, buffer, numberOfBytesToRead, numberOfBytesRead, overlapped, file);
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD numberOfBytesToWrite,
                      LPDWORD numberOfBytesWritten, LPOVERLAPPED overlapped) {
  posixplat::MarkPendingOnEntry(overlapped);
  auto file = LookupHandleAs<DriverFile>(handle);
  if (!file) return posixplat::Fail(ERROR_INVALID_HANDLE);
  return file->Transfer(false, const_cast<void*>(buffer), numberOfBytesToWrite,
                        numberOfBytesWritten, overlapped, file);
}

BOOL WINAPI CancelIo(HANDLE handle) {
  auto file = LookupHandleAs<DriverFile>(handle);
  if (!file) return posixplat::Fail(ERROR_INVALID_HANDLE);
  file->CancelThread(GetCurrentThreadId());
  return TRUE;
}

}  // extern "C"
