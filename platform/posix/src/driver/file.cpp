// Driver handles: CreateFileA on a device path, the driver's control
// requests, and the overlapped data path on a bound handle.
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../kernel.h"
#include "completion.h"
#include "registry.h"
#include "usbdrv/device.h"

namespace posixplat {
namespace {

// Request codes of the driver.
constexpr DWORD kDriverInfo = 0x8094206C;
constexpr DWORD kGetDescriptor = 0x80942006;
constexpr DWORD kGetConfiguration = 0x80942018;
constexpr DWORD kSetConfiguration = 0x80942024;
constexpr DWORD kBindEndpoint = 0x80942078;
constexpr DWORD kAbortEndpoint = 0x80942084;

constexpr DWORD kDriverInfoSize = 12;
constexpr DWORD kDescriptorRequestSize = 8;
constexpr DWORD kConfigurationRecordSize = 260;
constexpr uint16_t kMaxInterfaceEntries = 32;

// While an operation runs, its overlapped record's Internal member holds
// ERROR_IO_PENDING; a device status of that value would read as still
// running, so it is reported as a general failure.
constexpr uint32_t kPending = ERROR_IO_PENDING;

ULONG_PTR LoadStatus(const OVERLAPPED* record) {
  return __atomic_load_n(&record->Internal, __ATOMIC_ACQUIRE);
}

void MarkPending(OVERLAPPED* record) {
  __atomic_store_n(&record->InternalHigh, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&record->Internal, kPending, __ATOMIC_RELEASE);
}

// Writes an operation's result into its record and wakes its waiters. The
// record is not touched after its status is stored: the owner may free it as
// soon as it sees the status.
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

// Waits until the operation of a record has completed.
void WaitForRecord(const OVERLAPPED* record) {
  std::unique_lock<std::mutex> guard(WaitLock());
  WaitingScope waiting;
  WaitChanged().wait(guard, [&] { return LoadStatus(record) != kPending; });
}

class DriverFile;

// One ReadFile or WriteFile in flight.
class TransferOp final : public usbdrv::Transfer, public Completion {
 public:
  enum class State { kSubmitting, kCompletedInline, kPending, kQueued };

  std::shared_ptr<DriverFile> file;
  OVERLAPPED* record = nullptr;
  std::shared_ptr<EventObject> event;
  DWORD threadId = 0;
  // Guarded by the file's lock: Submit has not returned yet, and a
  // cancellation that came meanwhile waits for it to return.
  bool submitting = false;
  bool cancelRequested = false;
  // Guarded by CompletionLock().
  State state = State::kSubmitting;
  uint32_t status = 0;
  uint32_t actual = 0;

  void Complete(uint32_t completionStatus, uint32_t actualLength) override {
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

  bool Completed() {
    std::lock_guard<std::mutex> guard(CompletionLock());
    return state == State::kCompletedInline || state == State::kQueued;
  }

  void Deliver() override;
};

// A control request that completes later.
class ControlDone final : public Completion {
 public:
  ControlDone(OVERLAPPED* record, std::shared_ptr<EventObject> event, uint32_t status,
              uint32_t bytes)
      : record_(record), event_(std::move(event)), status_(status), bytes_(bytes) {}
  void Deliver() override { Publish(record_, event_, status_, bytes_); }

 private:
  OVERLAPPED* record_;
  std::shared_ptr<EventObject> event_;
  uint32_t status_;
  uint32_t bytes_;
};

class DriverFile : public KernelObject {
 public:
  DriverFile(std::shared_ptr<usbdrv::Instance> instance, std::string path,
             std::unique_ptr<usbdrv::Session> session, bool overlappedIo)
      : instance_(std::move(instance)),
        path_(std::move(path)),
        session_(std::move(session)),
        overlappedIo_(overlappedIo) {
    CountSession(+1);
    CountDriverHandle(path_, +1);
  }

  // Runs once the handle is closed and the last transfer has completed.
  ~DriverFile() override {
    session_.reset();
    CountSession(-1);
  }

  // Closing the handle ends its pending transfers, as a driver's cleanup
  // does; the session goes once the last of them has been delivered.
  void OnClose() override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      closed_ = true;
      CancelWhere([](const TransferOp*) { return true; });
    }
    CountDriverHandle(path_, -1);
  }

  bool overlappedIo() const { return overlappedIo_; }
  const std::string& path() const { return path_; }

  BOOL Transfer(bool in, void* data, DWORD length, LPDWORD done, OVERLAPPED* overlapped,
                const std::shared_ptr<DriverFile>& self);
  BOOL Control(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
               OVERLAPPED* overlapped);

  void CancelThread(DWORD threadId) {
    std::lock_guard<std::mutex> guard(lock_);
    CancelWhere([threadId](const TransferOp* op) { return op->threadId == threadId; });
  }

  void Remove(TransferOp* op) {
    std::lock_guard<std::mutex> guard(lock_);
    pending_.erase(std::remove(pending_.begin(), pending_.end(), op), pending_.end());
  }

 private:
  // With lock_ held: a transfer on the list is still allocated (it leaves
  // the list before it is deleted), so the device never sees a stale one.
  // A transfer still inside Submit is cancelled once Submit has returned.
  template <class Predicate>
  void CancelWhere(Predicate wanted) {
    const std::vector<TransferOp*> ops = pending_;
    for (TransferOp* op : ops) {
      if (!wanted(op)) continue;
      if (op->submitting) {
        op->cancelRequested = true;
      } else if (!op->Completed()) {
        session_->Cancel(op);
      }
    }
  }

  uint32_t Execute(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, uint32_t* bytes);

  const std::shared_ptr<usbdrv::Instance> instance_;
  const std::string path_;
  std::unique_ptr<usbdrv::Session> session_;
  const bool overlappedIo_;
  // Control requests reach the session one at a time.
  std::mutex controlLock_;
  // Guards the fields below. Cancel is called with it held; Submit is not,
  // so a device may take its time in Submit while control requests, and
  // abort in particular, go on.
  std::mutex lock_;
  bool closed_ = false;
  bool bound_ = false;
  uint8_t endpoint_ = 0;
  std::vector<TransferOp*> pending_;
};

void TransferOp::Deliver() {
  file->Remove(this);
  Publish(record, event, status, actual);
  // The operation is deleted after this; with it goes its reference to the
  // file, which may be the last one of a closed handle.
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL DriverFile::Transfer(bool in, void* data, DWORD length, LPDWORD done, OVERLAPPED* overlapped,
                          const std::shared_ptr<DriverFile>& self) {
  if (done != nullptr) *done = 0;
  if (data == nullptr && length != 0) return Fail(ERROR_INVALID_PARAMETER);
  std::shared_ptr<EventObject> event;
  if (overlapped != nullptr && overlapped->hEvent != nullptr) {
    event = LookupHandleAs<EventObject>(overlapped->hEvent);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
  }
  // Without an overlapped record, or on a handle opened without
  // FILE_FLAG_OVERLAPPED, the call waits for the transfer to end.
  const bool wait = overlapped == nullptr || !overlappedIo_;
  OVERLAPPED local{};
  OVERLAPPED* record = overlapped != nullptr ? overlapped : &local;

  auto* op = new TransferOp;
  op->data = static_cast<uint8_t*>(data);
  op->length = length;
  op->file = self;
  op->record = record;
  op->event = event;
  op->threadId = GetCurrentThreadId();
  {
    std::lock_guard<std::mutex> guard(lock_);
    DWORD refused = 0;
    if (closed_) {
      refused = ERROR_INVALID_HANDLE;
    } else if (!bound_ || ((endpoint_ & 0x80) != 0) != in) {
      // Reads need a handle bound to an IN endpoint, writes one bound to OUT.
      refused = ERROR_INVALID_FUNCTION;
    }
    if (refused != 0) {
      delete op;
      return Fail(refused);
    }
    op->endpoint = endpoint_;
    // Starting an operation clears its event and marks its record running.
    if (event) event->Reset();
    MarkPending(record);
    op->submitting = true;
    pending_.push_back(op);
  }
  // Until the state below becomes kPending, a completion is taken as
  // immediate: the operation is not queued, so it cannot be deleted here.
  session_->Submit(op);
  {
    std::lock_guard<std::mutex> guard(lock_);
    op->submitting = false;
    if (op->cancelRequested && !op->Completed()) session_->Cancel(op);
  }

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
    Remove(op);
    delete op;
    Publish(record, event, status, actual);
    if (done != nullptr) *done = actual;
    return status == 0 ? TRUE : Fail(status);
  }
  if (!wait) return Fail(ERROR_IO_PENDING);
  WaitForRecord(record);
  const uint32_t status = static_cast<uint32_t>(LoadStatus(record));
  if (done != nullptr) {
    *done = static_cast<DWORD>(__atomic_load_n(&record->InternalHigh, __ATOMIC_RELAXED));
  }
  return status == 0 ? TRUE : Fail(status);
}

// Checks the lengths of a request as the driver does before it starts one.
DWORD ValidateControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize) {
  switch (code) {
    case kDriverInfo:
      if (out == nullptr) return ERROR_INVALID_PARAMETER;
      return outSize < kDriverInfoSize ? ERROR_INSUFFICIENT_BUFFER : 0;
    case kGetDescriptor:
      if (in == nullptr || inSize < kDescriptorRequestSize) return ERROR_INVALID_PARAMETER;
      return out == nullptr || outSize == 0 ? ERROR_INVALID_PARAMETER : 0;
    case kGetConfiguration:
      if (out == nullptr) return ERROR_INVALID_PARAMETER;
      return outSize < 1 ? ERROR_INSUFFICIENT_BUFFER : 0;
    case kSetConfiguration: {
      if (in == nullptr || inSize < kConfigurationRecordSize) return ERROR_INVALID_PARAMETER;
      uint16_t entries;
      memcpy(&entries, static_cast<const uint8_t*>(in) + 2, sizeof entries);
      return entries > kMaxInterfaceEntries ? ERROR_INVALID_PARAMETER : 0;
    }
    case kBindEndpoint:
      return in == nullptr || inSize < 1 ? ERROR_INVALID_PARAMETER : 0;
    case kAbortEndpoint:
      return 0;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

uint32_t DriverFile::Execute(DWORD code, LPVOID in, DWORD, LPVOID out, DWORD outSize,
                             uint32_t* bytes) {
  const uint8_t* input = static_cast<const uint8_t*>(in);
  uint8_t* output = static_cast<uint8_t*>(out);
  *bytes = 0;
  switch (code) {
    case kDriverInfo: {
      uint8_t info[kDriverInfoSize] = {};
      const uint32_t status = session_->DriverInfo(info);
      if (status == 0) {
        memcpy(output, info, sizeof info);
        *bytes = sizeof info;
      }
      return status;
    }
    case kGetDescriptor: {
      uint32_t recipient;
      uint16_t language;
      memcpy(&recipient, input, sizeof recipient);
      memcpy(&language, input + 6, sizeof language);
      uint32_t length = outSize;
      const uint32_t status =
          session_->GetDescriptor(recipient, input[4], input[5], language, output, &length);
      *bytes = std::min(length, static_cast<uint32_t>(outSize));
      return status;
    }
    case kGetConfiguration: {
      uint8_t value = 0;
      const uint32_t status = session_->GetConfiguration(&value);
      if (status == 0) {
        output[0] = value;
        *bytes = 1;
      }
      return status;
    }
    case kSetConfiguration:
      return session_->SetConfiguration(input, kConfigurationRecordSize);
    case kBindEndpoint: {
      const uint32_t status = session_->BindEndpoint(input[0]);
      if (status == 0) {
        std::lock_guard<std::mutex> guard(lock_);
        bound_ = true;
        endpoint_ = input[0];
      }
      return status;
    }
    case kAbortEndpoint:
      return session_->AbortEndpoint();
  }
  return ERROR_INVALID_FUNCTION;
}

BOOL DriverFile::Control(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                         LPDWORD returned, OVERLAPPED* overlapped) {
  if (returned != nullptr) *returned = 0;
  std::shared_ptr<EventObject> event;
  if (overlapped != nullptr && overlapped->hEvent != nullptr) {
    event = LookupHandleAs<EventObject>(overlapped->hEvent);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
  }
  const DWORD refused = ValidateControl(code, in, inSize, out, outSize);
  if (refused != 0) return Fail(refused);
  const bool pending = overlapped != nullptr && overlappedIo_ &&
                       ControlCompletionFor(path_) == ControlCompletion::kPending;
  uint32_t status;
  uint32_t bytes = 0;
  {
    std::lock_guard<std::mutex> guard(controlLock_);
    {
      std::lock_guard<std::mutex> stateGuard(lock_);
      if (closed_) return Fail(ERROR_INVALID_HANDLE);
    }
    if (overlapped != nullptr) {
      if (event) event->Reset();
      MarkPending(overlapped);
    }
    status = Execute(code, in, inSize, out, outSize, &bytes);
    if (status == kPending) status = ERROR_GEN_FAILURE;
  }
  if (pending) {
    QueueCompletion(new ControlDone(overlapped, event, status, bytes));
    return Fail(ERROR_IO_PENDING);
  }
  if (overlapped != nullptr) Publish(overlapped, event, status, bytes);
  if (returned != nullptr) *returned = bytes;
  return status == 0 ? TRUE : Fail(status);
}

}  // namespace
}  // namespace posixplat

using posixplat::DriverFile;
using posixplat::LookupHandleAs;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path;
  std::shared_ptr<usbdrv::Instance> instance = posixplat::FindInstance(fileName, &path);
  if (!instance) {
    // Only driver instances can be opened here.
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::unique_ptr<usbdrv::Session> session = instance->Open();
  if (!session) {
    SetLastError(ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  const bool overlappedIo = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  return posixplat::InsertHandle(std::make_shared<DriverFile>(std::move(instance), std::move(path),
                                                              std::move(session), overlappedIo));
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped) {
  auto file = LookupHandleAs<DriverFile>(device);
  if (!file) return posixplat::Fail(ERROR_INVALID_HANDLE);
  return file->Control(ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                       bytesReturned, overlapped);
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD numberOfBytesToRead,
                     LPDWORD numberOfBytesRead, LPOVERLAPPED overlapped) {
  auto file = LookupHandleAs<DriverFile>(handle);
  if (!file) return posixplat::Fail(ERROR_INVALID_HANDLE);
  return file->Transfer(true, buffer, numberOfBytesToRead, numberOfBytesRead, overlapped, file);
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD numberOfBytesToWrite,
                      LPDWORD numberOfBytesWritten, LPOVERLAPPED overlapped) {
  auto file = LookupHandleAs<DriverFile>(handle);
  if (!file) return posixplat::Fail(ERROR_INVALID_HANDLE);
  return file->Transfer(false, const_cast<void*>(buffer), numberOfBytesToWrite,
                        numberOfBytesWritten, overlapped, file);
}

BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD numberOfBytesTransferred,
                                BOOL wait) {
  if (overlapped == nullptr) return posixplat::Fail(ERROR_INVALID_PARAMETER);
  if (posixplat::LoadStatus(overlapped) == posixplat::kPending) {
    if (!wait) return posixplat::Fail(ERROR_IO_INCOMPLETE);
    if (overlapped->hEvent != nullptr &&
        WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_FAILED) {
      return FALSE;
    }
    posixplat::WaitForRecord(overlapped);
  }
  const uint32_t status = static_cast<uint32_t>(posixplat::LoadStatus(overlapped));
  if (numberOfBytesTransferred != nullptr) {
    *numberOfBytesTransferred =
        static_cast<DWORD>(__atomic_load_n(&overlapped->InternalHigh, __ATOMIC_RELAXED));
  }
  return status == 0 ? TRUE : posixplat::Fail(status);
}

BOOL WINAPI CancelIo(HANDLE handle) {
  auto file = LookupHandleAs<DriverFile>(handle);
  if (!file) return posixplat::Fail(ERROR_INVALID_HANDLE);
  file->CancelThread(GetCurrentThreadId());
  return TRUE;
}

}  // extern "C"
