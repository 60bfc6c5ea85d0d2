// The driver's control requests on a handle (DeviceIoControl): checked and
// decoded by the handle's ControlHandler, completed at once or, when a test
// asks for it, later from the driver's completion thread.
#include <windows.h>

#include "driver_file.h"
#include "overlapped.h"
#include "registry.h"

namespace posixplat {
namespace {

// A control request that completes later.
class ControlDone final : public Completion {
 public:
  ControlDone(OVERLAPPED* record, std::shared_ptr<EventObject> event, uint32_t status,
              uint32_t bytes)
      : record_(record), event_(std::move(event)), status_(status), bytes_(bytes) {}
  void Deliver() override {
    Publish(record_, event_, status_, bytes_);
    delete this;
  }

 private:
  OVERLAPPED* record_;
  std::shared_ptr<EventObject> event_;
  uint32_t status_;
  uint32_t bytes_;
};

}  // namespace

BOOL DriverFile::Control(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                         LPDWORD returned, OVERLAPPED* overlapped) {
  if (returned != nullptr) *returned = 0;
  std::shared_ptr<EventObject> event;
  if (!LookupRecordEvent(overlapped, &event)) return Fail(ERROR_INVALID_HANDLE);
  const DWORD refused = usbdrv::ValidateControl(code, in, inSize, out, outSize);
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
    const uint32_t driverFault =
        code == USBDRV_REQUEST_DRIVER_INFO ? DriverInfoFailureFor(path_) : 0;
    status =
        driverFault != 0 ? driverFault : control_.Execute(code, in, inSize, out, outSize, &bytes);
    if (status == kPending) status = ERROR_GEN_FAILURE;
  }
  if (pending) {
    QueueCompletion(new ControlDone(overlapped, event, status, bytes));
    return Fail(ERROR_IO_PENDING);
  }
  if (status != 0) return Fail(status);
  if (overlapped != nullptr) Publish(overlapped, event, status, bytes);
  if (returned != nullptr) *returned = bytes;
  return TRUE;
}

}  // namespace posixplat

extern "C" BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                                       DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                                       LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  posixplat::MarkPendingOnEntry(overlapped);
  auto file = posixplat::LookupHandleAs<posixplat::DriverFile>(device);
  if (!file) return posixplat::Fail(ERROR_INVALID_HANDLE);
  return file->Control(ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                       bytesReturned, overlapped);
}
