// Publishes driver instances on Unix-domain sockets and serves the handles
// that velkor processes open on them: each connection is one session on the
// instance, driven with the requests and transfers the connection carries.
#ifndef VELKOR_SIMWIRE_SERVER_H
#define VELKOR_SIMWIRE_SERVER_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usbdrv/device.h"

namespace simwire {

class Connection;

class Server {
 public:
  Server();
  // Ends every connection and removes the sockets.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Publishes `instance` under `interfaceClass` at `path`. A socket left
  // there by a process that is gone is replaced; one that a live process
  // answers on, or any other file, is not. False with `error` set on failure.
  bool Publish(const std::string& path, const usbdrv::InterfaceClass& interfaceClass,
               std::shared_ptr<usbdrv::Instance> instance, std::string* error);

  // Accepts and serves connections until Stop is called (from any thread, or
  // a signal handler through StopFd). Returns when every socket is removed
  // and every connection has ended.
  void Run();
  void Stop();
  // Writing a byte to this descriptor stops Run (safe in a signal handler).
  int StopFd() const { return wake_[1]; }

  // Connections accepted so far (probes included).
  int Accepted() const { return accepted_.load(); }

 private:
  struct Endpoint {
    std::string path;
    int fd;
    usbdrv::InterfaceClass interfaceClass;
    std::shared_ptr<usbdrv::Instance> instance;
  };

  void Unpublish();
  void Reap(bool all);

  int wake_[2] = {-1, -1};
  std::vector<Endpoint> endpoints_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::atomic<int> accepted_{0};
};

}  // namespace simwire

#endif
