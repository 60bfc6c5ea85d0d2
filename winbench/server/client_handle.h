// One client handle on an instance, served as one usbdrv::Session.
//
// Control requests and the close run on a thread of the handle's own, one at
// a time, since a session's control requests may block until its device
// answers. Transfers, their cancellation and the abort request never wait
// for a peer: they go to the session at once, in the order the driver handed
// them over.
#ifndef VELKOR_WINBENCH_SERVER_CLIENT_HANDLE_H
#define VELKOR_WINBENCH_SERVER_CLIENT_HANDLE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "usbdrv/control.h"
#include "usbdrv/device.h"
#include "winbench/protocol.h"
#include "winbench/server/answer_sender.h"

namespace winbench {

class ServerTransfer;

class ClientHandle : public TransferOwner, public std::enable_shared_from_this<ClientHandle> {
 public:
  ClientHandle(std::shared_ptr<usbdrv::Instance> instance, AnswerSender* sender);
  ~ClientHandle();

  // Opens the session. A handle whose instance cannot be opened fails every
  // request with ERROR_GEN_FAILURE (the client's open has succeeded already).
  void Open();
  // Each takes one request the driver handed over; `input` holds its
  // inputLength bytes.
  void Control(const winbench_request& request, const uint8_t* input);
  void Transfer(const winbench_request& request, const uint8_t* input);
  void Cancel(uint32_t id);
  // Withdraws the handle's transfers, waits for them and ends the session,
  // on the handle's thread.
  void Close();

  // The handle's thread has ended (after a close).
  bool Finished();
  void Join();

  void TransferAnswered(uint32_t id) override;

 private:
  struct Job {
    enum Kind { kControl, kClose } kind;
    uint32_t id;
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputLength;
  };

  void Post(Job job);
  void Loop();
  void RunControl(const Job& job);
  void RunClose();
  void Answer(uint32_t id, uint32_t status, uint32_t length = 0, std::vector<uint8_t> data = {});

  const std::shared_ptr<usbdrv::Instance> instance_;
  AnswerSender* const sender_;
  std::thread thread_;

  std::mutex lock_;
  std::condition_variable changed_;
  // Guarded by lock_. The session and its handler are set once the open
  // succeeded and taken away by the close; calls into the session are made
  // without the lock.
  std::deque<Job> jobs_;
  std::unique_ptr<usbdrv::Session> session_;
  std::unique_ptr<usbdrv::ControlHandler> control_;
  std::map<uint32_t, std::shared_ptr<ServerTransfer>> transfers_;  // answer not yet sent
  bool closing_ = false;
  bool dead_ = false;  // the instance could not be opened
  bool finished_ = false;
};

}  // namespace winbench

#endif
