// Frames on a kv30sim connection: a 32-bit little-endian body length, then
// the body.
#ifndef VELKOR_SIMWIRE_FRAME_H
#define VELKOR_SIMWIRE_FRAME_H

#include <cstdint>
#include <vector>

namespace simwire {

// Reads the length prefix of a frame. False when the body length is 0 or
// above kMaxBody: the stream cannot be trusted any further.
bool DecodeLength(const uint8_t prefix[4], uint32_t* bodyLength);

// Writes a whole frame to a stream socket, waiting at most `timeoutMs` for
// room. False on any failure (the peer is gone or does not read).
bool WriteFrame(int fd, const std::vector<uint8_t>& frame, int timeoutMs);

// Reads one frame body. Result: 1 a body was read; 0 the peer closed the
// connection before a frame began; -1 a fault (bad length, cut-off frame,
// read error, or no complete frame within `timeoutMs` once it began; a
// negative `timeoutMs` waits as long as it takes).
int ReadFrame(int fd, std::vector<uint8_t>* body, int timeoutMs);

}  // namespace simwire

#endif
