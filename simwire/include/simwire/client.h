// The velkor side of a handset in a kv30sim process: a driver instance whose
// handles are connections to the process's socket.
#ifndef VELKOR_SIMWIRE_CLIENT_H
#define VELKOR_SIMWIRE_CLIENT_H

#include <memory>
#include <string>
#include <vector>

#include "usbdrv/device.h"

namespace simwire {

// Time limits of the client, in milliseconds.
constexpr int kHelloTimeoutMs = 2000;    // the answer to a Hello
constexpr int kControlTimeoutMs = 5000;  // the answer to a control request
constexpr int kCancelTimeoutMs = 3000;   // a cancelled or aborted transfer's completion

// Asks the kv30sim behind `path` for its interface class. False when nobody
// answers there (a stale socket) or the answer is not a valid greeting.
bool Probe(const std::string& path, usbdrv::InterfaceClass* interfaceClass);

// Every live socket in the kv30sim folder whose process publishes
// `interfaceClass`, in name order. A socket nobody answers on (its kv30sim
// gone) is passed over, and so is a folder that other users could have put
// sockets into.
std::vector<std::shared_ptr<usbdrv::Instance>> FindHandsets(
    const usbdrv::InterfaceClass& interfaceClass);

// A driver instance behind a kv30sim socket. Each Open connects anew. Submit,
// Cancel and AbortEndpoint only queue their message for the connection's
// writer thread, so a kv30sim that stops reading never blocks their callers.
// A connection that breaks, carries a faulty message, or leaves a cancelled
// transfer uncompleted for kCancelTimeoutMs fails its pending transfers with
// ERROR_DEVICE_NOT_CONNECTED and every later request.
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

}  // namespace simwire

#endif
