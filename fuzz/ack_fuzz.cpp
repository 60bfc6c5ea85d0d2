// The loader's acknowledgement parser: CAckCallback::onRecv fed with
// arbitrary transfers, each in a zero-filled 4096-byte read buffer as the
// link's read worker hands them over.
//
// Input: a flags byte (bit 0: trace on, bit 1: a record without data), then
// transfers, each a two-byte length and its bytes.
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "app/ackcallback.h"
#include "app/trace.h"
#include "fuzz/fuzz_input.h"
#include "usbio/usbiobuffer.h"

namespace {

const DWORD kAreaSize = 4096;
const LONG kSemaphoreMax = 16;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzinput::QuietStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzinput::Reader in(data, size);
  uint8_t flags = in.Byte();
  traceEnabled = (flags & 1) != 0;
  HANDLE semaphore = CreateSemaphoreA(NULL, 0, kSemaphoreMax, NULL);
  FUZZ_CHECK(semaphore != NULL);
  CAckCallback callback(semaphore);
  static BYTE area[kAreaSize];
  CUsbIoBuffer buffer(area, kAreaSize);
  if (flags & 2) buffer.dataPtr = NULL;
  LONG accepted = 0;
  while (!in.empty()) {
    std::string transfer = in.Piece(kAreaSize);
    memset(area, 0, sizeof area);
    memcpy(area, transfer.data(), transfer.size());
    buffer.actualLength = static_cast<DWORD>(transfer.size());
    LONG before = callback.expectedAck;
    callback.onRecv(&buffer);
    if (callback.expectedAck != before) {
      // Only ever the next number, and only for "#" and that number.
      FUZZ_CHECK(callback.expectedAck == before + 1);
      FUZZ_CHECK(buffer.dataPtr != NULL);
      FUZZ_CHECK(transfer.size() > 1 && transfer.size() < kAreaSize && transfer[0] == '#');
      std::string digits = std::to_string(before);
      FUZZ_CHECK(before == 0 || transfer.find(digits) != std::string::npos);
      accepted++;
    }
  }
  // One release per accepted acknowledgement, up to the semaphore's maximum.
  LONG count = 0;
  while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) count++;
  FUZZ_CHECK(count == std::min(accepted, kSemaphoreMax));
  CloseHandle(semaphore);
  traceEnabled = false;
  return 0;
}
