#include "tests/support/loopback/loopback_device.h"

#include <algorithm>
#include <deque>
#include <list>
#include <map>
#include <vector>

struct LoopbackDevice::State {
  struct PendingRead {
    usbdrv::Transfer* transfer;
    const void* session;
  };
  std::mutex lock;
  std::vector<uint8_t> descriptor;
  uint8_t configurationValue = 0;
  int opened = 0;
  int open = 0;
  int setConfigurations = 0;
  std::map<uint8_t, std::deque<uint8_t>> bytes;     // by endpoint number
  std::map<uint8_t, std::list<PendingRead>> reads;  // by endpoint number
  std::map<uint8_t, uint32_t> failingReads;         // by IN endpoint address
};

namespace {

class LoopbackSession : public usbdrv::Session {
 public:
  explicit LoopbackSession(std::shared_ptr<LoopbackDevice::State> state)
      : state_(std::move(state)) {}

  ~LoopbackSession() override {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->open--;
  }

  uint32_t GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                         uint32_t* length) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    if (request.type != USBDRV_DESCRIPTOR_TYPE_DEVICE) {
      *length = 0;
      return USBDRV_STATUS_INVALID_PARAMETER;
    }
    const uint32_t count = std::min<uint32_t>(*length, state_->descriptor.size());
    std::copy(state_->descriptor.begin(), state_->descriptor.begin() + count, out);
    *length = count;
    return 0;
  }

  uint32_t GetConfiguration(uint8_t* value) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    *value = state_->configurationValue;
    return 0;
  }

  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest&) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->configurationValue = 1;
    state_->setConfigurations++;
    return 0;
  }

  uint32_t BindEndpoint(uint8_t) override { return 0; }

  void AbortEndpoint() override {
    std::vector<usbdrv::Transfer*> ended;
    std::lock_guard<std::mutex> hold(state_->lock);
    for (auto& entry : state_->reads) {
      auto& queue = entry.second;
      for (auto it = queue.begin(); it != queue.end();) {
        if (it->session == this) {
          ended.push_back(it->transfer);
          it = queue.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (usbdrv::Transfer* transfer : ended) transfer->Complete(USBDRV_ERROR_OPERATION_ABORTED, 0);
  }

  void Submit(usbdrv::Transfer* transfer) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    const uint8_t number = transfer->endpoint & 0x7F;
    if ((transfer->endpoint & 0x80) == 0) {
      auto& bytes = state_->bytes[number];
      bytes.insert(bytes.end(), transfer->data, transfer->data + transfer->length);
      transfer->Complete(0, transfer->length);
      Deliver(number);
      return;
    }
    auto failing = state_->failingReads.find(transfer->endpoint);
    if (failing != state_->failingReads.end()) {
      transfer->Complete(failing->second, 0);
      return;
    }
    state_->reads[number].push_back({transfer, this});
    Deliver(number);
  }

  void Cancel(usbdrv::Transfer* transfer) override {
    std::lock_guard<std::mutex> hold(state_->lock);
    auto& queue = state_->reads[transfer->endpoint & 0x7F];
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if (it->transfer == transfer) {
        queue.erase(it);
        transfer->Complete(USBDRV_ERROR_OPERATION_ABORTED, 0);
        return;
      }
    }
  }

 private:
  // With the lock held: completes waiting reads from waiting bytes.
  void Deliver(uint8_t number) {
    auto& bytes = state_->bytes[number];
    auto& queue = state_->reads[number];
    while (!bytes.empty() && !queue.empty()) {
      usbdrv::Transfer* transfer = queue.front().transfer;
      queue.pop_front();
      const uint32_t count = std::min<uint32_t>(transfer->length, bytes.size());
      std::copy(bytes.begin(), bytes.begin() + count, transfer->data);
      bytes.erase(bytes.begin(), bytes.begin() + count);
      transfer->Complete(0, count);
    }
  }

  const std::shared_ptr<LoopbackDevice::State> state_;
};

}  // namespace

LoopbackDevice::LoopbackDevice(uint16_t vendor, uint16_t product, uint8_t configurationValue)
    : state_(std::make_shared<State>()) {
  state_->descriptor = {18,
                        USBDRV_DESCRIPTOR_TYPE_DEVICE,
                        0x00,
                        0x02,
                        0xFF,
                        0x00,
                        0x00,
                        64,
                        static_cast<uint8_t>(vendor),
                        static_cast<uint8_t>(vendor >> 8),
                        static_cast<uint8_t>(product),
                        static_cast<uint8_t>(product >> 8),
                        0x00,
                        0x01,
                        0,
                        0,
                        0,
                        1};
  state_->configurationValue = configurationValue;
}

LoopbackDevice::~LoopbackDevice() = default;

std::unique_ptr<usbdrv::Session> LoopbackDevice::Open() {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->opened++;
  state_->open++;
  return std::unique_ptr<usbdrv::Session>(new LoopbackSession(state_));
}

void LoopbackDevice::FailReads(uint8_t address, uint32_t status) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->failingReads[address] = status;
}

int LoopbackDevice::SessionsOpened() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->opened;
}

int LoopbackDevice::SessionsOpen() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->open;
}

int LoopbackDevice::SetConfigurationRequests() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->setConfigurations;
}

uint32_t LoopbackDevice::ReadsPending() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  uint32_t count = 0;
  for (auto& entry : state_->reads) count += static_cast<uint32_t>(entry.second.size());
  return count;
}
