// The overlapped record of an operation on a driver handle: marked running
// when the operation starts, written once with its result, and waited on.
#ifndef VELKOR_POSIX_DRIVER_OVERLAPPED_H
#define VELKOR_POSIX_DRIVER_OVERLAPPED_H

#include <windows.h>

#include <cstdint>
#include <memory>

#include "../kernel.h"

namespace posixplat {

// While an operation runs, its record's Internal member holds
// ERROR_IO_PENDING; a device status of that value would read as still
// running, so it is reported as a general failure.
constexpr uint32_t kPending = ERROR_IO_PENDING;

ULONG_PTR LoadStatus(const OVERLAPPED* record);
DWORD LoadBytes(const OVERLAPPED* record);
void MarkPending(OVERLAPPED* record);
// Marks a caller's record running before anything else is looked at, as
// the Windows API does on entry: a request that then fails at once leaves
// it so, with its event as it was.
void MarkPendingOnEntry(LPOVERLAPPED record);
// Writes an operation's result into its record and wakes its waiters. The
// record is not touched after its status is stored: the owner may free it as
// soon as it sees the status. Only results of operations that completed or
// pended are published; a request that fails at once leaves its record
// running and its event unset, as on Windows.
void Publish(OVERLAPPED* record, const std::shared_ptr<EventObject>& event, uint32_t status,
             uint32_t bytes);
// Waits until the operation of a record has completed.
void WaitForRecord(const OVERLAPPED* record);

// The event of an overlapped record: null when the record has none, and
// false when its handle is not an event.
bool LookupRecordEvent(const OVERLAPPED* record, std::shared_ptr<EventObject>* event);

BOOL Fail(DWORD error);

}  // namespace posixplat

#endif
