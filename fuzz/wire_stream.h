// Feeds fuzz input to the wire protocol's frame reader as the byte stream of
// a connection: the bytes go into one end of a socket pair, whose other end
// ReadFrame reads to the end.
#ifndef VELKOR_FUZZ_WIRE_STREAM_H
#define VELKOR_FUZZ_WIRE_STREAM_H

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "simwire/codec.h"
#include "simwire/frame.h"

namespace fuzzinput {

// Calls `body` for each frame read from `stream`, until the stream ends or
// ReadFrame refuses it. The stream fits the socket's buffer (the targets'
// -max_len is well below it), so it is written whole before it is read.
inline void ForEachFrame(const std::string& stream,
                         const std::function<void(const std::vector<uint8_t>&)>& body) {
  int pair[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
  size_t done = 0;
  while (done < stream.size()) {
    ssize_t n = write(pair[0], stream.data() + done, stream.size() - done);
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  shutdown(pair[0], SHUT_WR);
  std::vector<uint8_t> frame;
  while (simwire::ReadFrame(pair[1], &frame, 1000) == 1) {
    FUZZ_CHECK(!frame.empty() && frame.size() <= simwire::kMaxBody);
    body(frame);
  }
  close(pair[0]);
  close(pair[1]);
}

// The frame Encode builds for a decoded message is the body it came from.
inline bool SameFrame(const std::vector<uint8_t>& encoded, const std::vector<uint8_t>& body) {
  return encoded.size() == body.size() + 4 &&
         std::equal(body.begin(), body.end(), encoded.begin() + 4);
}

}  // namespace fuzzinput

#endif
