#include "winbench/server/control_device.h"

#include <cstring>

namespace winbench {

ControlDevice::~ControlDevice() { Close(); }

bool ControlDevice::Open(DWORD* error) {
  Close();
  handle_ = CreateFileA(WINBENCH_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = GetLastError();
    return false;
  }
  return true;
}

void ControlDevice::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

DWORD ControlDevice::Request(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                             DWORD* returned) {
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return GetLastError();
  DWORD count = 0;
  DWORD error = 0;
  if (!DeviceIoControl(handle_, code, const_cast<void*>(in), inSize, out, outSize, &count,
                       &overlapped)) {
    error = GetLastError();
    if (error == ERROR_IO_PENDING)
      error = GetOverlappedResult(handle_, &overlapped, &count, TRUE) ? 0 : GetLastError();
  }
  CloseHandle(overlapped.hEvent);
  if (returned != nullptr) *returned = count;
  return error;
}

DWORD ControlDevice::Register(const usbdrv::InterfaceClass& interfaceClass,
                              uint32_t instanceCount) {
  winbench_register request;
  std::memset(&request, 0, sizeof request);
  request.interfaceClass.data1 = interfaceClass.data1;
  request.interfaceClass.data2 = interfaceClass.data2;
  request.interfaceClass.data3 = interfaceClass.data3;
  std::memcpy(request.interfaceClass.data4, interfaceClass.data4, 8);
  request.instanceCount = instanceCount;
  return Request(WINBENCH_IOCTL_REGISTER, &request, sizeof request, nullptr, 0, nullptr);
}

void AppendCompletion(std::vector<uint8_t>* records, uint32_t id, uint32_t status, uint32_t length,
                      const uint8_t* data, uint32_t dataLength) {
  const size_t at = records->size();
  records->resize(at + WINBENCH_PADDED(sizeof(winbench_completion) + dataLength), 0);
  winbench_completion answer;
  std::memset(&answer, 0, sizeof answer);
  answer.id = id;
  answer.status = status;
  answer.length = length;
  answer.dataLength = dataLength;
  std::memcpy(records->data() + at, &answer, sizeof answer);
  if (dataLength != 0) std::memcpy(records->data() + at + sizeof answer, data, dataLength);
}

DWORD ControlDevice::NextRequests(std::vector<uint8_t>* records) {
  // Room for several records: the driver hands over what waits at once.
  records->resize(4 * WINBENCH_FETCH_ROOM);
  DWORD count = 0;
  DWORD error = Request(WINBENCH_IOCTL_NEXT_REQUEST, nullptr, 0, records->data(),
                        static_cast<DWORD>(records->size()), &count);
  records->resize(error == 0 ? count : 0);
  return error;
}

DWORD ControlDevice::Complete(const std::vector<uint8_t>& records) {
  return Request(WINBENCH_IOCTL_COMPLETE, records.data(), static_cast<DWORD>(records.size()),
                 nullptr, 0, nullptr);
}

DWORD ControlDevice::Query(winbench_state* state) {
  return Request(WINBENCH_IOCTL_QUERY, nullptr, 0, state, sizeof *state, nullptr);
}

DWORD ControlDevice::SetMode(uint32_t mode) {
  return Request(WINBENCH_IOCTL_SET_MODE, &mode, sizeof mode, nullptr, 0, nullptr);
}

DWORD ControlDevice::StopServer() {
  return Request(WINBENCH_IOCTL_STOP_SERVER, nullptr, 0, nullptr, 0, nullptr);
}

}  // namespace winbench
