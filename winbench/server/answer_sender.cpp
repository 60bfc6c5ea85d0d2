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
  // At most this much goes in one request (at least one answer).
  const size_t kBatchBytes = 1 << 20;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    std::vector<Answer> batch;
    std::vector<uint8_t> records;
    size_t bytes = 0;
    while (!queue_.empty() &&
           (batch.empty() || bytes + queue_.front().data.size() <= kBatchBytes)) {
      bytes += queue_.front().data.size() + sizeof(winbench_completion);
      batch.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    const bool send = !unplugged_;
    sending_ = send;
    hold.unlock();
    if (send) {
      for (const Answer& answer : batch) {
        AppendCompletion(&records, answer.id, answer.status, answer.length, answer.data.data(),
                         static_cast<uint32_t>(answer.data.size()));
      }
      device_->Complete(records);
    }
    for (Answer& answer : batch) {
      if (answer.owner) answer.owner->TransferAnswered(answer.id);
      answer.owner.reset();
    }
    hold.lock();
    sending_ = false;
    changed_.notify_all();
  }
}

}  // namespace winbench
