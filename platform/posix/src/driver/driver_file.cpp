#include "driver_file.h"

#include <algorithm>

#include "overlapped.h"
#include "registry.h"

namespace posixplat {

DriverFile::DriverFile(std::shared_ptr<usbdrv::Instance> instance, std::string path,
                       std::unique_ptr<usbdrv::Session> session, bool overlappedIo)
    : instance_(std::move(instance)),
      path_(std::move(path)),
      session_(std::move(session)),
      control_(session_.get()),
      overlappedIo_(overlappedIo) {
  CountSession(+1);
  CountDriverHandle(path_, +1);
}

DriverFile::~DriverFile() {
  session_.reset();
  CountSession(-1);
}

void DriverFile::OnClose() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
  }
  CancelWhere([](const TransferOp*) { return true; });
  CountDriverHandle(path_, -1);
}

void DriverFile::CancelThread(DWORD threadId) {
  CancelWhere([threadId](const TransferOp* op) { return op->threadId == threadId; });
}

template <class Predicate>
void DriverFile::CancelWhere(Predicate wanted) {
  std::vector<TransferOp*> held;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (TransferOp* op : pending_) {
      if (!wanted(op)) continue;
      if (op->submitting) {
        // Still inside Submit: the submitting thread cancels it afterwards.
        op->cancelRequested = true;
      } else if (!op->Completed()) {
        ++op->cancelling;
        held.push_back(op);
      }
    }
  }
  for (TransferOp* op : held) session_->Cancel(op);
  std::vector<TransferOp*> finished;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (TransferOp* op : held) {
      if (--op->cancelling == 0 && op->delivered) finished.push_back(op);
    }
  }
  // Deleted without the lock: an operation may hold the last reference to
  // this file.
  for (TransferOp* op : finished) delete op;
}

bool DriverFile::Remove(TransferOp* op) {
  std::lock_guard<std::mutex> guard(lock_);
  pending_.erase(std::remove(pending_.begin(), pending_.end(), op), pending_.end());
  if (op->cancelling == 0) return true;
  op->delivered = true;
  return false;
}

}  // namespace posixplat

extern "C" HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                                     DWORD creationDisposition, DWORD flagsAndAttributes,
                                     HANDLE) {
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
  return posixplat::InsertHandle(std::make_shared<posixplat::DriverFile>(
      std::move(instance), std::move(path), std::move(session), overlappedIo));
}
