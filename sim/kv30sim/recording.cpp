#include "sim/kv30sim/recording.h"

#include <mutex>
#include <unordered_map>

namespace kv30sim {
namespace {

class RecordingSession;

// Stands in for the caller's transfer on the inner session, and records it
// when it completes successfully.
class RecordedTransfer final : public usbdrv::Transfer {
 public:
  RecordedTransfer(RecordingSession* owner, usbdrv::Transfer* outer) : owner_(owner), outer_(outer) {
    endpoint = outer->endpoint;
    data = outer->data;
    length = outer->length;
  }
  void Complete(uint32_t status, uint32_t actual) override;
  usbdrv::Transfer* outer() const { return outer_; }

  // Guarded by the session's mutex: Cancel calls under way, and whether the
  // transfer has completed. It is freed once it has and none holds it.
  int holds = 0;
  bool completed = false;

 private:
  RecordingSession* owner_;
  usbdrv::Transfer* outer_;
};

class RecordingSession final : public usbdrv::Session {
 public:
  RecordingSession(std::unique_ptr<usbdrv::Session> inner, Transcript* transcript)
      : inner_(std::move(inner)), transcript_(transcript) {}
  // Every transfer has completed by now (the stand-in's promise), so the
  // inner session goes first and no stand-in is left behind.
  ~RecordingSession() override { inner_.reset(); }

  uint16_t InterfaceVersion() override { return inner_->InterfaceVersion(); }
  uint32_t GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                         uint32_t* length) override {
    return inner_->GetDescriptor(request, out, length);
  }
  uint32_t GetConfiguration(uint8_t* value) override { return inner_->GetConfiguration(value); }
  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest& request) override {
    return inner_->SetConfiguration(request);
  }
  uint32_t BindEndpoint(uint8_t address) override { return inner_->BindEndpoint(address); }
  void AbortEndpoint() override { inner_->AbortEndpoint(); }

  void Submit(usbdrv::Transfer* transfer) override {
    auto* recorded = new RecordedTransfer(this, transfer);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      byOuter_[transfer] = recorded;
    }
    inner_->Submit(recorded);
  }

  void Cancel(usbdrv::Transfer* transfer) override {
    RecordedTransfer* recorded = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = byOuter_.find(transfer);
      if (it == byOuter_.end()) return;  // completed already
      recorded = it->second;
      recorded->holds++;
    }
    inner_->Cancel(recorded);
    Release(recorded);
  }

  // The inner transfer completed: records it, passes the result on, and
  // frees the stand-in unless a Cancel still holds it. Nothing of the
  // session is touched after the caller's transfer completes: the session
  // may go as soon as its last transfer has.
  void Completed(RecordedTransfer* recorded, uint32_t status, uint32_t actual) {
    if (status == 0) transcript_->Record(recorded->endpoint, recorded->data, actual);
    usbdrv::Transfer* outer = recorded->outer();
    bool free;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      byOuter_.erase(outer);
      recorded->completed = true;
      free = recorded->holds == 0;
    }
    outer->Complete(status, actual);
    if (free) delete recorded;
  }

 private:
  // Drops the hold of a finished Cancel; the transfer is freed once it has
  // completed and no Cancel holds it.
  void Release(RecordedTransfer* recorded) {
    bool free;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      recorded->holds--;
      free = recorded->completed && recorded->holds == 0;
    }
    if (free) delete recorded;
  }

  std::unique_ptr<usbdrv::Session> inner_;
  Transcript* transcript_;
  std::mutex mutex_;
  std::unordered_map<usbdrv::Transfer*, RecordedTransfer*> byOuter_;
};

void RecordedTransfer::Complete(uint32_t status, uint32_t actual) {
  owner_->Completed(this, status, actual);
}

}  // namespace

std::unique_ptr<usbdrv::Session> RecordingInstance::Open() {
  std::unique_ptr<usbdrv::Session> inner = inner_->Open();
  if (!inner) return nullptr;
  return std::unique_ptr<usbdrv::Session>(new RecordingSession(std::move(inner), transcript_));
}

}  // namespace kv30sim
