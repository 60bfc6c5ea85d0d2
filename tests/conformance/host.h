// What the conformance cases need from the host beyond the Windows API: a
// device behind the host's driver (the POSIX platform layer's stand-in, or
// the test driver with its server under Wine) and overlapped operations that
// complete or fail at once. Each host implements this in a file of its own.
#ifndef VELKOR_TESTS_CONFORMANCE_HOST_H
#define VELKOR_TESTS_CONFORMANCE_HOST_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace conformance {

// One overlapped ReadFile, WriteFile or DeviceIoControl on a handle of the
// host's, and what it ends with.
struct Operation {
  enum Kind { kRead, kWrite, kControl };
  Kind kind = kRead;
  HANDLE handle = nullptr;
  DWORD code = 0;              // kControl
  std::vector<uint8_t> input;  // kWrite: the bytes; kControl: the input
  DWORD outputSize = 0;        // kRead, kControl
  DWORD expectedCount = 0;     // bytes moved once it succeeded
  DWORD expectedError = 0;     // 0 when it succeeds
};

// Starts an operation with `record` (and its event); `output` gets room for
// outputSize bytes. Returns what ReadFile, WriteFile or DeviceIoControl
// returned; `count` is passed to them as the byte count.
BOOL StartOperation(const Operation& operation, OVERLAPPED* record, std::vector<uint8_t>* output,
                    DWORD* count);

// A loopback device (what is written to OUT endpoint n is read from IN
// endpoint 0x80 | n, by any handle on it), listed under kLoopbackClass while
// the test program runs. Its device path, or "" with the reason in `error`.
extern const GUID kLoopbackClass;
std::string LoopbackPath(std::string* error);

// Operations of the host that never pend: a read and a control request that
// succeed at once, and a read and a control request that fail at once.
// Called anew before each use (a host may prepare data for the read).
Operation ImmediateRead();
Operation ImmediateControl();
Operation FailingRead();
Operation FailingControl();
// A control request that pends and then succeeds.
Operation PendingControl();

}  // namespace conformance

#endif
