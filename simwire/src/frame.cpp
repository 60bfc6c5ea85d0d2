#include "simwire/frame.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "simwire/codec.h"
#include "simwire/timing.h"

namespace simwire {
namespace {

// Waits until `fd` is ready for `events` or the deadline passes (a negative
// deadline waits as long as it takes). False on time-out or poll failure.
bool WaitReady(int fd, short events, int64_t deadline) {
  for (;;) {
    int timeout = -1;
    if (deadline >= 0) {
      int64_t left = deadline - MonotonicMs();
      if (left <= 0) return false;
      timeout = left > 60000 ? 60000 : static_cast<int>(left);
    }
    pollfd p = {fd, events, 0};
    int r = poll(&p, 1, timeout);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

// Reads exactly n bytes. 1 done, 0 end of stream before the first byte, -1
// fault or time-out.
int ReadAll(int fd, uint8_t* p, size_t n, int64_t deadline, bool eofAllowed) {
  size_t got = 0;
  while (got < n) {
    if (!WaitReady(fd, POLLIN, deadline)) return -1;
    ssize_t r = recv(fd, p + got, n - got, MSG_DONTWAIT);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0) {
      return (got == 0 && eofAllowed) ? 0 : -1;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return (got == 0 && eofAllowed && errno == ECONNRESET) ? 0 : -1;
    }
  }
  return 1;
}

}  // namespace

bool DecodeLength(const uint8_t prefix[4], uint32_t* bodyLength) {
  uint32_t n = static_cast<uint32_t>(prefix[0]) | (static_cast<uint32_t>(prefix[1]) << 8) |
               (static_cast<uint32_t>(prefix[2]) << 16) | (static_cast<uint32_t>(prefix[3]) << 24);
  *bodyLength = n;
  return n != 0 && n <= kMaxBody;
}

bool WriteFrame(int fd, const std::vector<uint8_t>& frame, int timeoutMs) {
  int64_t deadline = timeoutMs < 0 ? -1 : MonotonicMs() + timeoutMs;
  size_t done = 0;
  while (done < frame.size()) {
    ssize_t r = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      done += static_cast<size_t>(r);
    } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitReady(fd, POLLOUT, deadline)) return false;
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

int ReadFrame(int fd, std::vector<uint8_t>* body, int timeoutMs) {
  uint8_t prefix[4];
  int first = ReadAll(fd, prefix, 1, -1, true);
  if (first <= 0) return first;
  int64_t deadline = timeoutMs < 0 ? -1 : MonotonicMs() + timeoutMs;
  if (ReadAll(fd, prefix + 1, 3, deadline, false) != 1) return -1;
  uint32_t n = 0;
  if (!DecodeLength(prefix, &n)) return -1;
  body->resize(n);
  return ReadAll(fd, body->data(), n, deadline, false) == 1 ? 1 : -1;
}

}  // namespace simwire
