// The shared state of a simulated handset (internal to the device model).
#ifndef VELKOR_SIM_DEVICE_CORE_H
#define VELKOR_SIM_DEVICE_CORE_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/device.h"
#include "sim/endpoint.h"

namespace sim {

// Shared by the Device, its sessions and its thread; lives as long as any of
// them. Everything below `mu` is guarded by it.
struct Device::Core {
  Core();

  // Queues one IN transfer on pair `number` (InPipe::Send).
  void SendIn(uint8_t number, const void* data, size_t length, uint32_t status, uint32_t delayMs);
  // With `mu` held: removes the pending transfers of `session` (all of them,
  // or only `only`) as aborted completions.
  void Withdraw(const usbdrv::Session* session, usbdrv::Transfer* only,
                std::vector<detail::Completion>& out);
  // With `mu` held: the endpoint pair `number`, or null.
  detail::Endpoint* Find(uint8_t number);
  const detail::Endpoint* Find(uint8_t number) const;
  // With `mu` held: tells WaitUntil that something changed.
  void Changed();
  void Log(int session, Request request, std::vector<uint8_t> input, uint32_t status);
  // 0..3 for the bulk addresses 0x03, 0x83, 0x07, 0x87; -1 otherwise.
  static int BindIndex(uint8_t address);

  // The device thread until `stop`.
  void Run();

  class Pipe : public InPipe {
   public:
    Pipe(Core* core, uint8_t number) : core_(core), number_(number) {}
    void Send(const void* data, size_t length, uint32_t delayMs) override {
      if (core_ != nullptr) core_->SendIn(number_, data, length, 0, delayMs);
    }

   private:
    Core* core_;
    uint8_t number_;
  };

  Pipe pipe3{this, 3};
  Pipe pipe7{this, 7};
  Pipe nullPipe{nullptr, 0};  // for numbers the device lacks

  mutable std::mutex mu;
  std::condition_variable wake;             // the device thread
  mutable std::condition_variable changed;  // WaitUntil
  uint64_t generation = 0;
  bool stop = false;

  std::vector<uint8_t> deviceDescriptor;
  uint8_t configuration = 0;
  uint16_t interfaceVersion = kDriverInterfaceVersion;

  bool openable = true;
  uint32_t failDescriptor = 0;
  uint32_t failGetConfiguration = 0;
  uint32_t failSetConfiguration = 0;
  uint32_t failBind[4] = {0, 0, 0, 0};  // by BindIndex

  int openSessions = 0;
  int sessionsOpened = 0;
  bool recording = true;
  std::vector<ControlRecord> controls;

  detail::Endpoint endpoints[2];
};

}  // namespace sim

#endif
