// A handset function that stops taking data after a number of writes: the
// writes that follow stay pending on the device until they are cancelled,
// like those of a handset that has hung.
#ifndef VELKOR_TESTS_RELIABILITY_STALLING_H
#define VELKOR_TESTS_RELIABILITY_STALLING_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "sim/device.h"
#include "sim/function.h"

class StallingFunction : public sim::Function {
 public:
  // Stalls the OUT endpoint `number` of `device` once `inner` has handled
  // `after` writes. The device must outlive this function's use; it only
  // keeps a plain pointer, as the device owns its functions.
  StallingFunction(std::shared_ptr<sim::Function> inner, sim::Device* device, uint8_t number,
                   uint32_t after)
      : inner_(std::move(inner)), device_(device), number_(number), after_(after) {
    if (after_ == 0) device_->StallWrites(number_, true);
  }

  // The device calls this outside its lock, so stalling from here is safe.
  sim::WriteResult OnWrite(const uint8_t* data, uint32_t length, sim::InPipe& in) override {
    sim::WriteResult result = inner_->OnWrite(data, length, in);
    if (++handled_ == after_) device_->StallWrites(number_, true);
    return result;
  }

 private:
  std::shared_ptr<sim::Function> inner_;
  sim::Device* device_;
  uint8_t number_;
  uint32_t after_;
  std::atomic<uint32_t> handled_{0};
};

#endif
