#include "winbench/server/client_handle.h"

#include <algorithm>
#include <atomic>

namespace winbench {

// A ReadFile or WriteFile of a client, as its session sees it.
class ServerTransfer : public usbdrv::Transfer {
 public:
  ServerTransfer(uint32_t id, std::shared_ptr<TransferOwner> owner, AnswerSender* sender)
      : id_(id), owner_(std::move(owner)), sender_(sender) {}

  std::vector<uint8_t> storage;

  void Complete(uint32_t status, uint32_t actual) override {
    if (completed_.exchange(true)) return;  // completed twice: the first one counts
    winbench::Answer answer;
    answer.id = id_;
    answer.status = status;
    answer.length = std::min(actual, length);
    if ((endpoint & 0x80) != 0) answer.data.assign(data, data + answer.length);
    answer.owner = std::move(owner_);
    sender_->Post(std::move(answer));
  }

  bool Completed() const { return completed_.load(); }

 private:
  const uint32_t id_;
  std::shared_ptr<TransferOwner> owner_;
  AnswerSender* const sender_;
  std::atomic<bool> completed_{false};
};

ClientHandle::ClientHandle(std::shared_ptr<usbdrv::Instance> instance, AnswerSender* sender)
    : instance_(std::move(instance)), sender_(sender) {}

ClientHandle::~ClientHandle() { Join(); }

void ClientHandle::Answer(uint32_t id, uint32_t status, uint32_t length,
                          std::vector<uint8_t> data) {
  winbench::Answer answer;
  answer.id = id;
  answer.status = status;
  answer.length = length;
  answer.data = std::move(data);
  sender_->Post(std::move(answer));
}

void ClientHandle::Post(Job job) {
  std::lock_guard<std::mutex> hold(lock_);
  jobs_.push_back(std::move(job));
  changed_.notify_all();
}

void ClientHandle::Open() {
  std::unique_ptr<usbdrv::Session> session = instance_->Open();
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (session) {
      control_.reset(new usbdrv::ControlHandler(session.get()));
      session_ = std::move(session);
    } else {
      dead_ = true;
    }
  }
  thread_ = std::thread([this] { Loop(); });
}

void ClientHandle::Control(const winbench_request& request, const uint8_t* input) {
  const uint8_t* in = request.inputLength != 0 ? input : nullptr;
  uint8_t room = 0;
  uint32_t refused =
      usbdrv::ValidateControl(request.code, in, request.inputLength,
                              request.outputLength != 0 ? &room : nullptr, request.outputLength);
  usbdrv::ControlHandler* control = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (dead_) {
      refused = USBDRV_ERROR_GEN_FAILURE;
    } else if (!control_ || closing_) {
      refused = USBDRV_ERROR_INVALID_HANDLE;
    }
    control = control_.get();
  }
  if (refused != 0) {
    Answer(request.id, refused);
    return;
  }
  if (request.code == USBDRV_REQUEST_ABORT_ENDPOINT) {
    // Never waits: done in order with the transfers.
    uint32_t bytes = 0;
    Answer(request.id, control->Execute(request.code, nullptr, 0, nullptr, 0, &bytes));
    return;
  }
  Post({Job::kControl, request.id, request.code,
        std::vector<uint8_t>(input, input + request.inputLength), request.outputLength});
}

void ClientHandle::Transfer(const winbench_request& request, const uint8_t* input) {
  const bool in = request.kind == WINBENCH_REQUEST_READ;
  uint8_t endpoint = 0;
  uint32_t refused = 0;
  usbdrv::Session* session = nullptr;
  std::shared_ptr<ServerTransfer> transfer;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (dead_) {
      refused = USBDRV_ERROR_GEN_FAILURE;
    } else if (!control_ || closing_) {
      refused = USBDRV_ERROR_INVALID_HANDLE;
    } else {
      refused = control_->CheckTransfer(in, &endpoint);
    }
    if (refused == 0) {
      transfer = std::make_shared<ServerTransfer>(request.id, shared_from_this(), sender_);
      if (in)
        transfer->storage.resize(request.outputLength);
      else
        transfer->storage.assign(input, input + request.inputLength);
      transfer->endpoint = endpoint;
      transfer->data = transfer->storage.data();
      transfer->length = static_cast<uint32_t>(transfer->storage.size());
      transfers_[request.id] = transfer;
      session = session_.get();
    }
  }
  if (refused != 0) {
    Answer(request.id, refused);
    return;
  }
  session->Submit(transfer.get());
}

void ClientHandle::Cancel(uint32_t id) {
  std::shared_ptr<ServerTransfer> transfer;
  usbdrv::Session* session = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = transfers_.find(id);
    if (it == transfers_.end() || !session_) return;  // answered already, or not a transfer
    transfer = it->second;
    session = session_.get();
  }
  // The transfer stays allocated while Cancel runs: `transfer` holds it.
  if (!transfer->Completed()) session->Cancel(transfer.get());
}

void ClientHandle::Close() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (closing_) return;
    closing_ = true;
  }
  Post({Job::kClose, 0, 0, {}, 0});
}

bool ClientHandle::Finished() {
  std::lock_guard<std::mutex> hold(lock_);
  return finished_;
}

void ClientHandle::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void ClientHandle::TransferAnswered(uint32_t id) {
  std::lock_guard<std::mutex> hold(lock_);
  transfers_.erase(id);
  changed_.notify_all();
}

void ClientHandle::Loop() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [this] { return !jobs_.empty(); });
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (job.kind == Job::kControl)
      RunControl(job);
    else
      RunClose();
    std::lock_guard<std::mutex> hold(lock_);
    if (finished_) return;
  }
}

void ClientHandle::RunControl(const Job& job) {
  usbdrv::ControlHandler* control;
  {
    std::lock_guard<std::mutex> hold(lock_);
    control = control_.get();
  }
  std::vector<uint8_t> output(job.outputLength);
  uint32_t bytes = 0;
  const uint32_t status =
      control->Execute(job.code, job.input.empty() ? nullptr : job.input.data(),
                       static_cast<uint32_t>(job.input.size()),
                       output.empty() ? nullptr : output.data(), job.outputLength, &bytes);
  bytes = std::min(bytes, job.outputLength);
  output.resize(bytes);
  Answer(job.id, status, bytes, std::move(output));
}

void ClientHandle::RunClose() {
  std::vector<std::shared_ptr<ServerTransfer>> pending;
  usbdrv::Session* session;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& entry : transfers_) pending.push_back(entry.second);
    session = session_.get();
  }
  if (session != nullptr) {
    for (auto& transfer : pending) {
      if (!transfer->Completed()) session->Cancel(transfer.get());
    }
  }
  pending.clear();
  std::unique_ptr<usbdrv::Session> ended;
  std::unique_ptr<usbdrv::ControlHandler> handler;
  {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return transfers_.empty(); });
    ended = std::move(session_);
    handler = std::move(control_);
  }
  handler.reset();
  ended.reset();
  std::lock_guard<std::mutex> hold(lock_);
  finished_ = true;
}

}  // namespace winbench
