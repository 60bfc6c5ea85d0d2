// The velkor side of a handset in a kv30sim process: a driver instance
// whose handles are connections to the process's socket.
#ifndef VELKOR_REMOTE_CLIENT_H
#define VELKOR_REMOTE_CLIENT_H

#include <memory>
#include <string>

#include "usbdrv/device.h"

namespace remote {

// Time limits of the client, in milliseconds.
constexpr int kHelloTimeoutMs = 2000;    // the answer to a Hello
constexpr int kControlTimeoutMs = 5000;  // the answer to a control request
constexpr int kFrameTimeoutMs = 5000;    // the rest of a frame once it began
constexpr int kWriteTimeoutMs = 5000;    // room in the socket for one frame
constexpr int kCancelTimeoutMs = 3000;   // a cancelled or aborted transfer's completion

// Asks the kv30sim behind `path` for its interface class. False when nobody
// answers there (a stale socket) or the answer is not a valid greeting.
bool Probe(const std::string& path, GUID* interfaceClass);

// A driver instance behind a kv30sim socket. Each Open connects anew; a
// connection that breaks, or that carries a faulty message, fails its pending
// transfers with ERROR_DEVICE_NOT_CONNECTED and every later request.
class RemoteInstance : public usbdrv::Instance {
 public:
  explicit RemoteInstance(std::string path) : path_(std::move(path)) {}
  std::unique_ptr<usbdrv::Session> Open() override;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Opens a session over a socket that is already connected (and takes it);
// null when the server does not open a handle. For tests.
std::unique_ptr<usbdrv::Session> OpenSession(int fd);

}  // namespace remote

#endif
