// A driver instance whose reads can be held up inside their submission, to
// place a shutdown exactly between a worker's stop test and its next read.
// Reads stay pending until aborted or cancelled; IgnoreCancel makes it a
// driver that does not honour CancelIo.
#ifndef VELKOR_TESTS_USBIO_GATED_INSTANCE_H
#define VELKOR_TESTS_USBIO_GATED_INSTANCE_H

#include <string.h>
#include "usbdrv/device.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

class GatedInstance : public usbdrv::Instance, public std::enable_shared_from_this<GatedInstance> {
 public:
  // The submission with this number (1, 2, ...) waits in Submit until Open()ed.
  explicit GatedInstance(int gatedSubmission) : gated_(gatedSubmission) {}

  std::unique_ptr<usbdrv::Session> Open() override {
    return std::unique_ptr<usbdrv::Session>(new GatedSession(shared_from_this()));
  }

  void IgnoreCancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    ignoreCancel_ = true;
  }
  int Aborts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborts_;
  }

  void OpenGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateOpen_ = true;
    changed_.notify_all();
  }
  bool WaitUntilGated(uint32_t ms) {
    return WaitFor(ms, [&] { return inGate_; });
  }
  bool WaitUntilAborted(uint32_t ms) {
    return WaitFor(ms, [&] { return aborts_ > 0; });
  }
  int Submissions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return submissions_;
  }
  size_t Pending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
  }

 private:
  class GatedSession : public usbdrv::Session {
   public:
    explicit GatedSession(std::shared_ptr<GatedInstance> owner) : owner_(std::move(owner)) {}
    uint32_t GetDescriptor(const usbdrv::DescriptorRequest&, uint8_t*,
                           uint32_t* length) override {
      *length = 0;
      return 0;
    }
    uint32_t GetConfiguration(uint8_t* value) override {
      *value = 1;
      return 0;
    }
    uint32_t SetConfiguration(const usbdrv::ConfigurationRequest&) override { return 0; }
    uint32_t BindEndpoint(uint8_t) override { return 0; }
    void AbortEndpoint() override { owner_->Abort(); }
    void Submit(usbdrv::Transfer* transfer) override { owner_->Submit(transfer); }
    void Cancel(usbdrv::Transfer* transfer) override { owner_->Cancel(transfer); }

   private:
    std::shared_ptr<GatedInstance> owner_;
  };

  template <typename Condition>
  bool WaitFor(uint32_t ms, Condition condition) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), condition);
  }

  void Submit(usbdrv::Transfer* transfer) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (++submissions_ == gated_) {
      inGate_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return gateOpen_; });
    }
    pending_.push_back(transfer);
  }
  void Abort() {
    std::deque<usbdrv::Transfer*> ended;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended.swap(pending_);
      aborts_++;
      changed_.notify_all();
    }
    for (usbdrv::Transfer* transfer : ended) transfer->Complete(995, 0);
  }
  void Cancel(usbdrv::Transfer* transfer) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ignoreCancel_) return;
      auto found = std::find(pending_.begin(), pending_.end(), transfer);
      if (found == pending_.end()) return;
      pending_.erase(found);
    }
    transfer->Complete(995, 0);
  }

  const int gated_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<usbdrv::Transfer*> pending_;
  int submissions_ = 0;
  int aborts_ = 0;
  bool inGate_ = false;
  bool gateOpen_ = false;
  bool ignoreCancel_ = false;
};

#endif
