// Test hooks of the POSIX platform layer. Only tests include this header; the
// program itself never does.
#ifndef VELKOR_POSIXPLAT_TESTING_H
#define VELKOR_POSIXPLAT_TESTING_H

#include <cstdint>
#include <string>

namespace posixplat {

// Puts the layer back into its start state between tests: no registered
// instances, no providers beyond the default ones, setupapi.dll and all its
// entry points available, control requests completed at once, debugger
// output empty, the console the process's own. Open handles are left alone
// (tests close what they open).
void Reset();

// While false, LoadLibraryA("setupapi.dll") fails with ERROR_MOD_NOT_FOUND.
void SetSetupApiAvailable(bool available);
// While false, GetProcAddress(setupapi, name) fails with ERROR_PROC_NOT_FOUND.
void SetSetupApiEntryAvailable(const std::string& name, bool available);
// LoadLibraryA("setupapi.dll") calls not yet matched by FreeLibrary.
int SetupApiLoadCount();
// Interface lists (HDEVINFO) made and not yet destroyed.
int OpenDeviceInfoListCount();

// Console output (_putch) goes to the file descriptor `fd` instead of the
// console; -1 gives the console back. SetConsoleOutput(STDOUT_FILENO) makes
// standard output the console, as it is in a terminal window.
void SetConsoleOutput(int fd);

// Everything sent to OutputDebugStringA since the last clear.
std::string DebugOutput();
void ClearDebugOutput();

// Threads blocked in a wait function right now (WaitForSingleObject,
// WaitForMultipleObjects, a waiting GetOverlappedResult or synchronous I/O).
int WaitingThreadCount();

// Open handles of every kind (events, semaphores, threads, driver handles).
int OpenHandleCount();
// Open driver handles (CreateFileA on a device path not yet closed).
int OpenDriverHandleCount();
// Open driver handles on one device path.
int OpenDriverHandleCount(const std::string& devicePath);
// Sessions not yet destroyed (a closed handle keeps its session until its
// last transfer has completed).
int LiveSessionCount();
// Device path of a registered instance ("" for an unknown id).
std::string DevicePath(int instanceId);

// How overlapped control requests (DeviceIoControl) complete: at once
// (TRUE), or pending (FALSE, ERROR_IO_PENDING) with the completion delivered
// later from the driver's completion thread. Requests without an overlapped
// record always complete at once.
enum class ControlCompletion { kImmediate, kPending };
// For every device path without a setting of its own.
void SetControlCompletion(ControlCompletion mode);
// For one device path.
void SetControlCompletion(const std::string& devicePath, ControlCompletion mode);

// Makes the driver-information request on one device path fail with
// `status` (0 clears it): the driver itself fails, whatever the device.
void FailDriverInfo(const std::string& devicePath, uint32_t status);

// Returns once every completion that the driver had queued before the call
// has been delivered (records written, events set, closed handles' sessions
// released where that was their last transfer).
void FlushCompletions();

}  // namespace posixplat

#endif
