// kv30sim's side of one connection: one open handle on an instance, driven
// with the requests and transfers that the connection carries.
#ifndef VELKOR_SIMWIRE_CONNECTION_H
#define VELKOR_SIMWIRE_CONNECTION_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "usbdrv/device.h"

namespace simwire {

class Connection {
 public:
  // Takes the connected socket `fd` and serves it on threads of its own:
  // the greeting, then a session on `instance` until the peer goes.
  Connection(int fd, const usbdrv::InterfaceClass& interfaceClass,
             std::shared_ptr<usbdrv::Instance> instance);
  // Ends the connection and waits for its threads.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Ends the connection as if the peer had gone.
  void Stop();
  bool Finished() const { return finished_.load(); }

 private:
  class Transfer;

  void Queue(std::vector<uint8_t> frame);
  void WriteLoop();
  void Completed(Transfer* t, uint32_t status, uint32_t actual);
  void Reap();
  bool HandleControl(const std::vector<uint8_t>& body);
  bool HandleSubmit(const std::vector<uint8_t>& body);
  bool HandleCancel(const std::vector<uint8_t>& body);
  bool HandleAbort(const std::vector<uint8_t>& body);
  bool Greet();
  void ReadLoop();
  void EndSession();

  const int fd_;
  const usbdrv::InterfaceClass interfaceClass_;
  const std::shared_ptr<usbdrv::Instance> instance_;
  std::unique_ptr<usbdrv::Session> session_;                 // reader thread only
  std::map<uint32_t, std::unique_ptr<Transfer>> transfers_;  // reader thread only
  std::thread writer_;
  std::thread reader_;
  std::atomic<bool> finished_{false};

  std::mutex mutex_;  // everything below, and Transfer::done
  std::condition_variable cv_;
  std::deque<std::vector<uint8_t>> outgoing_;
  bool closing_ = false;
  bool writerDone_ = false;
  uint32_t pendingCount_ = 0;
  std::vector<uint32_t> finishedIds_;
};

}  // namespace simwire

#endif
