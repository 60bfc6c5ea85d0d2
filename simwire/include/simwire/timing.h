// The clock and the time limits of both ends of a kv30sim connection.
#ifndef VELKOR_SIMWIRE_TIMING_H
#define VELKOR_SIMWIRE_TIMING_H

#include <cstdint>

namespace simwire {

// Milliseconds of a monotonic clock.
int64_t MonotonicMs();

constexpr int kFrameTimeoutMs = 5000;  // the rest of a frame once it began
constexpr int kWriteTimeoutMs = 5000;  // room in the socket for one frame

}  // namespace simwire

#endif
