// A loopback device for tests of the driver stand-ins: what is written to an
// OUT endpoint n is read back from IN endpoint 0x80 | n, by any handle on
// the same instance.
//
// - Every handle may bind any endpoint address; control requests answer at
//   once from a standard device descriptor and a configuration value.
// - A write completes at once with its whole length, inside Submit. A read
//   completes inside Submit when bytes are waiting, else it waits for a
//   write; bytes that do not fit stay for the next read.
// - Cancel and AbortEndpoint complete the reads concerned with
//   ERROR_OPERATION_ABORTED.
// - Get-descriptor requests for anything but the device descriptor fail at
//   once with USBDRV_STATUS_INVALID_PARAMETER; reads on an IN endpoint set
//   with FailReads fail at once, inside Submit.
// Plain C++ over the device interface, for the tests of every host.
#ifndef VELKOR_TESTS_SUPPORT_LOOPBACK_LOOPBACK_DEVICE_H
#define VELKOR_TESTS_SUPPORT_LOOPBACK_LOOPBACK_DEVICE_H

#include <cstdint>
#include <memory>
#include <mutex>

#include "usbdrv/device.h"

class LoopbackDevice : public usbdrv::Instance {
 public:
  LoopbackDevice(uint16_t vendor, uint16_t product, uint8_t configurationValue);
  ~LoopbackDevice() override;

  std::unique_ptr<usbdrv::Session> Open() override;

  // Reads on IN endpoint `address` complete at once with `status` and no
  // bytes.
  void FailReads(uint8_t address, uint32_t status);

  // What happened so far, for tests.
  int SessionsOpened() const;
  int SessionsOpen() const;
  int SetConfigurationRequests() const;
  uint32_t ReadsPending() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

#endif
