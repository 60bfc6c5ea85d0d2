// A small device model for the libusb backend's tests: a handset's
// descriptors (bulk endpoint pairs 3 and 7), its configuration value, and
// endpoints that answer writes by a script.
//
// - Reads of all sessions on an IN endpoint wait in one queue; each chunk of
//   IN data (a script's answer or a Push) completes the oldest read, as much
//   of it as fits; the rest waits for the next read.
// - Writes complete at once with their whole length; the script's answer to
//   a write on OUT endpoint N goes to IN endpoint N | 0x80.
// - Cancel and AbortEndpoint complete the transfers concerned at once with
//   USBDRV_ERROR_OPERATION_ABORTED.
// Completions are made without the model's lock held.
#ifndef VELKOR_TESTS_LIBUSB_SCRIPTED_HANDSET_H
#define VELKOR_TESTS_LIBUSB_SCRIPTED_HANDSET_H

#include <usbdrv/device.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace usbfs {

class ScriptedHandset : public usbdrv::Instance {
 public:
  using Script = std::function<std::string(uint8_t endpoint, const std::string& written)>;

  ScriptedHandset(uint16_t vendor, uint16_t product, uint8_t configurationValue = 1);
  std::unique_ptr<usbdrv::Session> Open() override;

  void SetScript(Script script);
  // IN data on `endpoint` (0x83 or 0x87) as if the handset sent it.
  void Push(uint8_t endpoint, const std::string& data);
  // The next `count` reads to complete end with `status` and no data.
  void FailReads(int count, uint32_t status);

  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;
  uint8_t ConfigurationValue() const;
  std::vector<usbdrv::ConfigurationRequest> ConfigurationRequests() const;
  std::vector<std::string> Writes(uint8_t endpoint) const;
  int PendingReads() const;
  int OpenSessions() const;

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace usbfs

#endif
