#include "winbench/server/answer_sender.h"

namespace winbench {

AnswerSender::AnswerSender(ControlDevice* device) : device_(device), thread_([this] { Loop(); }) {}

AnswerSender::~AnswerSender() { Stop(); }

void AnswerSender::Post(Answer answer) {
  std::lock_guard<std::mutex> hold(lock_);
  queue_.push_back(std::move(answer));
  changed_.notify_all();
}

void AnswerSender::Unplug() {
  std::unique_lock<std::mutex> hold(lock_);
  unplugged_ = true;
  changed_.wait(hold, [this] { return !sending_; });
}

void AnswerSender::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void AnswerSender::Loop() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Answer answer = std::move(queue_.front());
    queue_.pop_front();
    const bool send = !unplugged_;
    sending_ = send;
    hold.unlock();
    if (send) {
      // An answer the driver no longer waits for (its handle's device was
      // taken away meanwhile) is refused; nothing else is to be done.
      device_->Complete(answer.id, answer.status, answer.length, answer.data.data(),
                        static_cast<uint32_t>(answer.data.size()));
    }
    if (answer.owner) answer.owner->TransferAnswered(answer.id);
    answer.owner.reset();
    hold.lock();
    sending_ = false;
    changed_.notify_all();
  }
}

}  // namespace winbench
