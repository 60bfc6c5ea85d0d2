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
#ifndef VELKOR_WINBENCH_LOOPBACK_LOOPBACK_H
#define VELKOR_WINBENCH_LOOPBACK_LOOPBACK_H

#include <cstdint>
#include <memory>
#include <mutex>

#include "usbdrv/device.h"

namespace winbench {

class LoopbackDevice : public usbdrv::Instance {
 public:
  LoopbackDevice(uint16_t vendor, uint16_t product, uint8_t configurationValue);
  ~LoopbackDevice() override;

  std::unique_ptr<usbdrv::Session> Open() override;

  // What happened so far, for tests.
  int SessionsOpened() const;
  int SessionsOpen() const;
  int SetConfigurationRequests() const;
  uint32_t ReadsPending() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace winbench

#endif
