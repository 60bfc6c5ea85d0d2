#include "scripted_handset.h"

#include <usbdrv/requests.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace usbfs {

struct ScriptedHandset::Core {
  std::mutex lock;
  std::vector<uint8_t> device;
  std::vector<uint8_t> configurationDescriptor;
  uint8_t configuration = 0;
  std::vector<usbdrv::ConfigurationRequest> configurationRequests;
  Script script;
  struct Read {
    const void* session;
    usbdrv::Transfer* transfer;
  };
  std::map<uint8_t, std::deque<Read>> reads;          // by IN endpoint
  std::map<uint8_t, std::deque<std::string>> inData;  // by IN endpoint
  std::map<uint8_t, std::vector<std::string>> writes; // by OUT endpoint
  int failReads = 0;
  uint32_t failStatus = 0;
  int sessions = 0;

  struct Done {
    usbdrv::Transfer* transfer;
    uint32_t status;
    uint32_t actual;
  };

  // Matches reads with data; the completions are made by the caller.
  void DeliverLocked(uint8_t endpoint, std::vector<Done>* done) {
    std::deque<Read>& waiting = reads[endpoint];
    std::deque<std::string>& data = inData[endpoint];
    while (!waiting.empty() && failReads > 0) {
      done->push_back({waiting.front().transfer, failStatus, 0});
      waiting.pop_front();
      failReads--;
    }
    while (!waiting.empty() && !data.empty()) {
      usbdrv::Transfer* read = waiting.front().transfer;
      waiting.pop_front();
      std::string& chunk = data.front();
      const uint32_t n = std::min<uint32_t>(read->length, static_cast<uint32_t>(chunk.size()));
      if (n > 0) std::memcpy(read->data, chunk.data(), n);
      chunk.erase(0, n);
      if (chunk.empty()) data.pop_front();
      done->push_back({read, 0, n});
    }
  }
};

namespace {

void Finish(const std::vector<ScriptedHandset::Core::Done>& done) {
  for (const auto& d : done) d.transfer->Complete(d.status, d.actual);
}

bool KnownEndpoint(uint8_t address) {
  return address == 0x03 || address == 0x83 || address == 0x07 || address == 0x87;
}

class ScriptedSession final : public usbdrv::Session {
 public:
  explicit ScriptedSession(std::shared_ptr<ScriptedHandset::Core> core) : core_(std::move(core)) {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->sessions++;
  }
  ~ScriptedSession() override {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->sessions--;
  }

  uint32_t GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                         uint32_t* length) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    const std::vector<uint8_t>* bytes = nullptr;
    if (request.recipient == 0 && request.index == 0) {
      if (request.type == USBDRV_DESCRIPTOR_TYPE_DEVICE) bytes = &core_->device;
      if (request.type == USBDRV_DESCRIPTOR_TYPE_CONFIGURATION) {
        bytes = &core_->configurationDescriptor;
      }
    }
    if (bytes == nullptr) {
      *length = 0;
      return USBDRV_STATUS_FAILED;
    }
    *length = std::min<uint32_t>(*length, static_cast<uint32_t>(bytes->size()));
    std::memcpy(out, bytes->data(), *length);
    return 0;
  }

  uint32_t GetConfiguration(uint8_t* value) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    *value = core_->configuration;
    return 0;
  }

  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest& request) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->configurationRequests.push_back(request);
    if (request.configurationIndex != 0) return USBDRV_STATUS_INVALID_PARAMETER;
    core_->configuration = 1;
    return 0;
  }

  uint32_t BindEndpoint(uint8_t address) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    if (!KnownEndpoint(address)) return USBDRV_STATUS_INVALID_PARAMETER;
    if (bound_ != 0 || core_->configuration == 0) return USBDRV_STATUS_FAILED;
    bound_ = address;
    return 0;
  }

  void AbortEndpoint() override {
    std::vector<ScriptedHandset::Core::Done> done;
    {
      std::lock_guard<std::mutex> guard(core_->lock);
      auto& waiting = core_->reads[bound_];
      for (auto it = waiting.begin(); it != waiting.end();) {
        if (it->session == this) {
          done.push_back({it->transfer, USBDRV_ERROR_OPERATION_ABORTED, 0});
          it = waiting.erase(it);
        } else {
          ++it;
        }
      }
    }
    Finish(done);
  }

  void Submit(usbdrv::Transfer* transfer) override {
    std::vector<ScriptedHandset::Core::Done> done;
    if (bound_ == 0) {
      transfer->Complete(USBDRV_STATUS_FAILED, 0);
      return;
    }
    if (bound_ & 0x80) {
      std::lock_guard<std::mutex> guard(core_->lock);
      core_->reads[bound_].push_back({this, transfer});
      core_->DeliverLocked(bound_, &done);
    } else {
      const std::string written(reinterpret_cast<const char*>(transfer->data), transfer->length);
      ScriptedHandset::Script script;
      {
        std::lock_guard<std::mutex> guard(core_->lock);
        core_->writes[bound_].push_back(written);
        script = core_->script;
      }
      const std::string answer = script ? script(bound_, written) : std::string();
      done.push_back({transfer, 0, transfer->length});
      std::lock_guard<std::mutex> guard(core_->lock);
      const uint8_t in = static_cast<uint8_t>(bound_ | 0x80);
      if (!answer.empty()) core_->inData[in].push_back(answer);
      core_->DeliverLocked(in, &done);
    }
    Finish(done);
  }

  void Cancel(usbdrv::Transfer* transfer) override {
    bool found = false;
    {
      std::lock_guard<std::mutex> guard(core_->lock);
      auto& waiting = core_->reads[bound_];
      for (auto it = waiting.begin(); it != waiting.end(); ++it) {
        if (it->transfer == transfer) {
          waiting.erase(it);
          found = true;
          break;
        }
      }
    }
    if (found) transfer->Complete(USBDRV_ERROR_OPERATION_ABORTED, 0);
  }

 private:
  const std::shared_ptr<ScriptedHandset::Core> core_;
  uint8_t bound_ = 0;  // used by the one thread that binds, then read only
};

std::vector<uint8_t> BuildConfiguration() {
  std::vector<uint8_t> d = {
      9, 2, 46, 0, 1, 1, 0, 0x80, 50,  // one interface, bus powered, 100 mA
      9, 4, 0, 0, 4, 0xFF, 0, 0, 0,    // interface 0, four endpoints, vendor class
  };
  for (uint8_t address : {0x03, 0x83, 0x07, 0x87}) {
    const uint8_t endpoint[] = {7, 5, address, 2, 64, 0, 0};  // bulk, 64 bytes
    d.insert(d.end(), endpoint, endpoint + sizeof endpoint);
  }
  return d;
}

}  // namespace

ScriptedHandset::ScriptedHandset(uint16_t vendor, uint16_t product, uint8_t configurationValue)
    : core_(std::make_shared<Core>()) {
  core_->device = {18,
                   1,
                   0x10,
                   0x01,
                   0xFF,
                   0,
                   0,
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
  core_->configurationDescriptor = BuildConfiguration();
  core_->configuration = configurationValue;
}

std::unique_ptr<usbdrv::Session> ScriptedHandset::Open() {
  return std::unique_ptr<usbdrv::Session>(new ScriptedSession(core_));
}

void ScriptedHandset::SetScript(Script script) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->script = std::move(script);
}

void ScriptedHandset::Push(uint8_t endpoint, const std::string& data) {
  std::vector<Core::Done> done;
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->inData[endpoint].push_back(data);
    core_->DeliverLocked(endpoint, &done);
  }
  Finish(done);
}

void ScriptedHandset::FailReads(int count, uint32_t status) {
  std::vector<Core::Done> done;
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->failReads = count;
    core_->failStatus = status;
    for (uint8_t endpoint : {0x83, 0x87}) core_->DeliverLocked(endpoint, &done);
  }
  Finish(done);
}

std::vector<uint8_t> ScriptedHandset::DeviceDescriptor() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->device;
}

std::vector<uint8_t> ScriptedHandset::ConfigurationDescriptor() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->configurationDescriptor;
}

uint8_t ScriptedHandset::ConfigurationValue() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->configuration;
}

std::vector<usbdrv::ConfigurationRequest> ScriptedHandset::ConfigurationRequests() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->configurationRequests;
}

std::vector<std::string> ScriptedHandset::Writes(uint8_t endpoint) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  auto it = core_->writes.find(endpoint);
  return it == core_->writes.end() ? std::vector<std::string>() : it->second;
}

int ScriptedHandset::PendingReads() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  int pending = 0;
  for (auto& entry : core_->reads) pending += static_cast<int>(entry.second.size());
  return pending;
}

int ScriptedHandset::OpenSessions() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->sessions;
}

}  // namespace usbfs
