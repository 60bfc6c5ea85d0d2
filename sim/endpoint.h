// The queues of one bulk endpoint pair of the simulated handset (internal to
// the device model).
#ifndef VELKOR_SIM_ENDPOINT_H
#define VELKOR_SIM_ENDPOINT_H

#include <usbdrv/device.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "sim/device.h"
#include "sim/function.h"

namespace sim {
namespace detail {

using Clock = std::chrono::steady_clock;

// A transfer waiting on an endpoint, with the session it was submitted on.
struct Pending {
  const usbdrv::Session* session;
  int serial;  // the session's serial, for the write log
  usbdrv::Transfer* transfer;
};

// One IN transfer of the device side: data, or a read completion with a
// status and no data.
struct InItem {
  std::vector<uint8_t> data;
  uint32_t status = 0;
  Clock::time_point due;
};

// A run of reads that complete at once without data.
struct ReadFault {
  uint32_t count;
  uint32_t status;
};

// A run of writes that fail or move fewer bytes.
struct WriteFault {
  uint32_t count;
  bool fail;
  uint32_t status;    // when failing
  uint32_t maxBytes;  // when short
};

// Consumes one use of the fault at the head of `faults`.
template <class Fault>
void ConsumeOne(std::deque<Fault>& faults) {
  Fault& f = faults.front();
  if (f.count != kForever && --f.count == 0) faults.pop_front();
}

// A completion decided under the device's lock and made after it is
// released, so that the transfer's owner may call back into the device.
struct Completion {
  usbdrv::Transfer* transfer;
  uint32_t status;
  std::vector<uint8_t> data;  // IN data, copied in cut to the transfer's length
};

void CompleteAll(std::vector<Completion>& completions);

// Endpoint pair `number`: the OUT endpoint `number`, the IN endpoint
// `number | 0x80`. Guarded by the device's lock.
struct Endpoint {
  Endpoint(uint8_t n, InPipe& p) : number(n), pipe(p) {}

  const uint8_t number;
  InPipe& pipe;  // what the function is given
  std::shared_ptr<Function> function;
  std::deque<Pending> reads;   // pending reads of every session, in submission order
  std::deque<Pending> writes;  // pending writes, in submission order
  std::deque<InItem> in;       // IN transfers not yet delivered, in queue order
  std::deque<ReadFault> readFaults;
  std::deque<WriteFault> writeFaults;
  bool withhold = false;
  bool stall = false;
  bool writeRunning = false;  // the function is handling a write right now
  uint32_t readsCompleted = 0;
  std::vector<WriteRecord> writeLog;
};

}  // namespace detail
}  // namespace sim

#endif
