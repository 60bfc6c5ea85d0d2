#include "host.h"

namespace conformance {

const GUID kLoopbackClass = {
    0x2f6a9b34, 0x71c0, 0x4e8d, {0xa5, 0x13, 0x58, 0x0e, 0xc7, 0x2d, 0x94, 0x61}};

BOOL StartOperation(const Operation& operation, OVERLAPPED* record, std::vector<uint8_t>* output,
                    DWORD* count) {
  output->assign(operation.outputSize, 0);
  switch (operation.kind) {
    case Operation::kRead:
      return ReadFile(operation.handle, output->data(), operation.outputSize, count, record);
    case Operation::kWrite:
      return WriteFile(operation.handle, operation.input.data(),
                       static_cast<DWORD>(operation.input.size()), count, record);
    case Operation::kControl:
      return DeviceIoControl(
          operation.handle, operation.code,
          operation.input.empty() ? nullptr : const_cast<uint8_t*>(operation.input.data()),
          static_cast<DWORD>(operation.input.size()), output->empty() ? nullptr : output->data(),
          operation.outputSize, count, record);
  }
  return FALSE;
}

}  // namespace conformance
