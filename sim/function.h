// A function of the simulated handset behind one bulk endpoint pair: the
// shell on endpoint number 3, the loader on number 7.
#ifndef VELKOR_SIM_FUNCTION_H
#define VELKOR_SIM_FUNCTION_H

#include <cstddef>
#include <cstdint>

namespace sim {

// The IN side of an endpoint pair, as a function sees it.
class InPipe {
 public:
  virtual ~InPipe() = default;
  // Queues one IN transfer, due `delayMs` milliseconds from now. Each queued
  // transfer completes one host read of its own (never merged with another,
  // cut to the read's length), in the order queued: a transfer is never
  // delivered before one queued earlier.
  virtual void Send(const void* data, size_t length, uint32_t delayMs = 0) = 0;
};

// How the device completes one host write.
struct WriteResult {
  uint32_t status = 0;    // 0: success; otherwise the write fails with this status
  uint32_t accepted = 0;  // bytes the write reports as moved
};

class Function {
 public:
  virtual ~Function() = default;
  // One host write (one OUT transfer) of `length` bytes. The device calls this
  // for one write at a time, in the order of the writes; the function answers
  // through `in` and says how the write completes. Tests read a function's
  // state from other threads, so a function guards its state itself.
  virtual WriteResult OnWrite(const uint8_t* data, uint32_t length, InPipe& in) = 0;
};

}  // namespace sim

#endif
