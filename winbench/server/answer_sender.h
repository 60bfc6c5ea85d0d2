// Sends the server's answers to the driver, in the order they were posted,
// from a thread of its own, so that a device may complete a transfer with
// its own locks held. Answers that wait together go in one request.
#ifndef VELKOR_WINBENCH_SERVER_ANSWER_SENDER_H
#define VELKOR_WINBENCH_SERVER_ANSWER_SENDER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "winbench/server/control_device.h"

namespace winbench {

// Told when the answer for one of its transfers has gone (or was dropped).
class TransferOwner {
 public:
  virtual void TransferAnswered(uint32_t id) = 0;

 protected:
  ~TransferOwner() = default;
};

struct Answer {
  uint32_t id = 0;
  uint32_t status = 0;
  uint32_t length = 0;        // bytes moved; for reads and control requests the data's size
  std::vector<uint8_t> data;  // the bytes read or the control request's output
  std::shared_ptr<TransferOwner> owner;  // set for transfers
};

class AnswerSender {
 public:
  explicit AnswerSender(ControlDevice* device);
  ~AnswerSender();

  // Never waits for the driver.
  void Post(Answer answer);
  // From now on answers are dropped (their owners are told all the same);
  // returns once no answer is being sent, so the device may be closed.
  void Unplug();
  // Sends or drops what is queued, then ends the thread.
  void Stop();

 private:
  void Loop();

  ControlDevice* const device_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Answer> queue_;
  bool sending_ = false;
  bool unplugged_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace winbench

#endif
