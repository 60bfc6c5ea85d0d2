// A handle on the test driver's control device, with its requests.
#ifndef VELKOR_WINBENCH_SERVER_CONTROL_DEVICE_H
#define VELKOR_WINBENCH_SERVER_CONTROL_DEVICE_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "usbdrv/device.h"
#include "winbench/protocol.h"

namespace winbench {

// Appends one answer's record to `records`.
void AppendCompletion(std::vector<uint8_t>* records, uint32_t id, uint32_t status, uint32_t length,
                      const uint8_t* data, uint32_t dataLength);

class ControlDevice {
 public:
  ControlDevice() = default;
  ~ControlDevice();
  ControlDevice(const ControlDevice&) = delete;
  ControlDevice& operator=(const ControlDevice&) = delete;

  // Opens the control device; false with the Windows error in `error` when
  // the driver is not running.
  bool Open(DWORD* error);
  void Close();
  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

  // Each returns 0 or the Windows error of the request.
  DWORD Register(const usbdrv::InterfaceClass& interfaceClass, uint32_t instanceCount);
  // Waits for the next requests and notices; `records` is resized to what
  // came (one or more records, as the protocol lays them out).
  DWORD NextRequests(std::vector<uint8_t>* records);
  // Sends answers: records that AppendCompletion made.
  DWORD Complete(const std::vector<uint8_t>& records);
  DWORD Query(winbench_state* state);
  DWORD SetMode(uint32_t mode);
  DWORD StopServer();

 private:
  // One request on the handle with an overlapped record of its own,
  // waited for to the end.
  DWORD Request(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                DWORD* returned);

  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace winbench

#endif
