// A handle on a driver instance: CreateFileA on a device path opens one
// session of the instance behind it. Control requests go through the
// handle's ControlHandler, data transfers through the overlapped data path.
#ifndef VELKOR_POSIX_DRIVER_DRIVER_FILE_H
#define VELKOR_POSIX_DRIVER_DRIVER_FILE_H

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../kernel.h"
#include "completion.h"
#include "usbdrv/control.h"
#include "usbdrv/device.h"

namespace posixplat {

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
  // cancellation that came meanwhile is made once it has.
  bool submitting = false;
  bool cancelRequested = false;
  // Guarded by the file's lock: cancellations under way outside the lock,
  // and whether the result was delivered meanwhile (the last cancellation
  // then frees the operation).
  int cancelling = 0;
  bool delivered = false;
  // Guarded by CompletionLock().
  State state = State::kSubmitting;
  uint32_t status = 0;
  uint32_t actual = 0;

  void Complete(uint32_t completionStatus, uint32_t actualLength) override;
  bool Completed();
  void Deliver() override;
};

class DriverFile : public KernelObject {
 public:
  DriverFile(std::shared_ptr<usbdrv::Instance> instance, std::string path,
             std::unique_ptr<usbdrv::Session> session, bool overlappedIo);
  // Runs once the handle is closed and the last transfer has completed.
  ~DriverFile() override;

  // Closing the handle ends its pending transfers, as a driver's cleanup
  // does; the session goes once the last of them has been delivered.
  void OnClose() override;

  BOOL Transfer(bool in, void* data, DWORD length, LPDWORD done, OVERLAPPED* overlapped,
                const std::shared_ptr<DriverFile>& self);
  BOOL Control(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
               OVERLAPPED* overlapped);
  // CancelIo: the calling thread's transfers.
  void CancelThread(DWORD threadId);
  // Takes a delivered transfer off the pending list. False when a
  // cancellation still holds it: that one frees it.
  bool Remove(TransferOp* op);

 private:
  // Cancels the pending transfers that `wanted` picks. The session's Cancel
  // is called without any lock held, so a device that takes its time there
  // delays no completion; the transfers are held meanwhile.
  template <class Predicate>
  void CancelWhere(Predicate wanted);

  const std::shared_ptr<usbdrv::Instance> instance_;
  const std::string path_;
  std::unique_ptr<usbdrv::Session> session_;
  usbdrv::ControlHandler control_;
  const bool overlappedIo_;
  // Control requests reach the session one at a time; nothing else takes
  // this lock.
  std::mutex controlLock_;
  // Guards the fields below and the transfers' cancellation fields. Never
  // held while the session is called.
  std::mutex lock_;
  bool closed_ = false;
  std::vector<TransferOp*> pending_;
};

}  // namespace posixplat

#endif
