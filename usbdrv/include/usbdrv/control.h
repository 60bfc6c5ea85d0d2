// The driver's control requests on one handle, as every stand-in serves
// them: the records are checked and decoded here, once, and the session gets
// typed values. The driver-information request is answered here from the
// session's interface version, and the handle's binding is kept here.
#ifndef VELKOR_USBDRV_CONTROL_H
#define VELKOR_USBDRV_CONTROL_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "usbdrv/device.h"

namespace usbdrv {

// Checks the buffers of a request as the driver does before it starts one:
// 0, or the error with which the request fails at once.
uint32_t ValidateControl(uint32_t code, const void* in, uint32_t inSize, const void* out,
                         uint32_t outSize);

// The 260-byte set-configuration record and its typed form. Decoding takes
// the entries up to the record's count (at most USBDRV_MAX_INTERFACE_ENTRIES);
// false when the record is short or its count too large.
bool DecodeConfigurationRecord(const void* record, uint32_t size, ConfigurationRequest* request);
std::vector<uint8_t> EncodeConfigurationRecord(const ConfigurationRequest& request);

// The 8-byte get-descriptor record; false when it is short.
bool DecodeDescriptorRecord(const void* record, uint32_t size, DescriptorRequest* request);

// The 12-byte driver-information record for an interface version.
void BuildDriverInfo(uint16_t interfaceVersion, uint8_t info[USBDRV_DRIVER_INFO_SIZE]);

class ControlHandler {
 public:
  explicit ControlHandler(Session* session) : session_(session) {}

  // Runs a request that ValidateControl accepted; `bytes` receives the
  // number of bytes written to `out`. Blocks as long as the session's
  // control request does.
  uint32_t Execute(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                   uint32_t* bytes);

  // 0 when a transfer in this direction may go to the session, with the
  // bound endpoint's address in `endpoint`; otherwise the error with which
  // the ReadFile or WriteFile fails.
  uint32_t CheckTransfer(bool in, uint8_t* endpoint) const;

 private:
  static constexpr uint16_t kBound = 0x100;

  Session* const session_;
  // 0 until the handle is bound, then kBound | the endpoint address.
  std::atomic<uint16_t> binding_{0};
};

}  // namespace usbdrv

#endif
