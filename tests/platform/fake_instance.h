// A small scriptable driver instance for the platform layer's tests: control
// requests answer from fields the test sets, transfers wait until the test
// completes them (or complete inside Submit when asked to).
#ifndef VELKOR_TESTS_PLATFORM_FAKE_INSTANCE_H
#define VELKOR_TESTS_PLATFORM_FAKE_INSTANCE_H

#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "usbdrv/control.h"
#include "usbdrv/device.h"

namespace platformtest {

// Status with which the fake ends transfers on abort.
constexpr uint32_t kAbortStatus = 0xE0001000;

struct FakeState {
  std::mutex lock;
  std::condition_variable changed;
  // Control answers.
  uint16_t interfaceVersion = 0x0200;
  uint32_t requestStatus = 0;  // returned by the device's control requests when nonzero
  std::vector<uint8_t> descriptor = std::vector<uint8_t>(18, 0x11);
  uint8_t configuration = 0;
  std::vector<uint8_t> lastConfigurationRecord;
  uint32_t bindStatus = 0;
  int aborts = 0;
  // Transfers submitted and not yet completed, oldest first.
  std::deque<usbdrv::Transfer*> pending;
  int submitted = 0;
  // When set, Submit completes each transfer at once with this status.
  bool completeInSubmit = false;
  uint32_t inlineStatus = 0;
  bool openable = true;
  bool stopDevice = false;  // ends a test's device thread
  // While set, Submit waits inside the device until it is cleared.
  bool holdSubmit = false;
  bool inSubmit = false;
  std::atomic<int> sessions{0};
  std::atomic<int> sessionsDestroyed{0};

  // Waits until at least `count` transfers are pending.
  bool WaitPending(size_t count) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(10),
                            [&] { return pending.size() >= count; });
  }

  // Completes the oldest pending transfer; IN transfers receive `bytes`.
  bool CompleteOldest(uint32_t status, const std::vector<uint8_t>& bytes) {
    usbdrv::Transfer* transfer;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (pending.empty()) return false;
      transfer = pending.front();
      pending.pop_front();
    }
    uint32_t actual = static_cast<uint32_t>(bytes.size());
    if (actual > transfer->length) actual = transfer->length;
    if ((transfer->endpoint & 0x80) != 0) {
      memcpy(transfer->data, bytes.data(), actual);
    }
    transfer->Complete(status, actual);
    return true;
  }

  size_t PendingCount() {
    std::lock_guard<std::mutex> guard(lock);
    return pending.size();
  }
};

class FakeSession : public usbdrv::Session {
 public:
  explicit FakeSession(std::shared_ptr<FakeState> state) : state_(std::move(state)) {
    ++state_->sessions;
  }
  ~FakeSession() override {
    --state_->sessions;
    ++state_->sessionsDestroyed;
  }

  uint16_t InterfaceVersion() override {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->interfaceVersion;
  }
  uint32_t GetDescriptor(const usbdrv::DescriptorRequest&, uint8_t* out,
                         uint32_t* length) override {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->requestStatus != 0) return state_->requestStatus;
    uint32_t n = static_cast<uint32_t>(state_->descriptor.size());
    if (n > *length) n = *length;
    memcpy(out, state_->descriptor.data(), n);
    *length = n;
    return 0;
  }
  uint32_t GetConfiguration(uint8_t* value) override {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->requestStatus != 0) return state_->requestStatus;
    *value = state_->configuration;
    return 0;
  }
  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest& request) override {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->requestStatus != 0) return state_->requestStatus;
    state_->lastConfigurationRecord = usbdrv::EncodeConfigurationRecord(request);
    state_->configuration = 1;
    return 0;
  }
  uint32_t BindEndpoint(uint8_t) override {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->bindStatus;
  }
  void AbortEndpoint() override {
    std::vector<usbdrv::Transfer*> mine = Take([](usbdrv::Transfer*) { return true; });
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      ++state_->aborts;
    }
    for (usbdrv::Transfer* transfer : mine) transfer->Complete(kAbortStatus, 0);
  }
  void Submit(usbdrv::Transfer* transfer) override {
    bool now;
    uint32_t status;
    {
      std::unique_lock<std::mutex> guard(state_->lock);
      state_->inSubmit = true;
      state_->changed.notify_all();
      state_->changed.wait(guard, [&] { return !state_->holdSubmit; });
      state_->inSubmit = false;
      ++state_->submitted;
      now = state_->completeInSubmit;
      status = state_->inlineStatus;
      if (!now) {
        state_->pending.push_back(transfer);
        owned_.push_back(transfer);
        state_->changed.notify_all();
      }
    }
    if (now) {
      if ((transfer->endpoint & 0x80) != 0 && transfer->length > 0) transfer->data[0] = 0x5A;
      transfer->Complete(status, transfer->length);
    }
  }
  void Cancel(usbdrv::Transfer* transfer) override {
    std::vector<usbdrv::Transfer*> mine =
        Take([transfer](usbdrv::Transfer* t) { return t == transfer; });
    for (usbdrv::Transfer* t : mine) t->Complete(ERROR_OPERATION_ABORTED, 0);
  }

 private:
  // Removes this session's pending transfers that match.
  template <class Predicate>
  std::vector<usbdrv::Transfer*> Take(Predicate wanted) {
    std::vector<usbdrv::Transfer*> taken;
    std::lock_guard<std::mutex> guard(state_->lock);
    for (auto it = owned_.begin(); it != owned_.end();) {
      auto queued = std::find(state_->pending.begin(), state_->pending.end(), *it);
      if (queued == state_->pending.end()) {
        it = owned_.erase(it);  // completed by the test meanwhile
      } else if (wanted(*it)) {
        state_->pending.erase(queued);
        taken.push_back(*it);
        it = owned_.erase(it);
      } else {
        ++it;
      }
    }
    return taken;
  }

  std::shared_ptr<FakeState> state_;
  std::vector<usbdrv::Transfer*> owned_;  // guarded by state_->lock
};

class FakeInstance : public usbdrv::Instance {
 public:
  explicit FakeInstance(std::shared_ptr<FakeState> state) : state_(std::move(state)) {}
  std::unique_ptr<usbdrv::Session> Open() override {
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      if (!state_->openable) return nullptr;
    }
    return std::make_unique<FakeSession>(state_);
  }

 private:
  std::shared_ptr<FakeState> state_;
};

}  // namespace platformtest

#endif
