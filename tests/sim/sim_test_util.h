// Helpers for driving a sim::Device through its sessions.
#ifndef VELKOR_TESTS_SIM_SIM_TEST_UTIL_H
#define VELKOR_TESTS_SIM_SIM_TEST_UTIL_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/device.h"
#include "sim/function.h"
#include "usbdrv/control.h"

namespace simtest {

constexpr uint32_t kWaitMs = 10000;  // generous bound for events that must happen

// A transfer that records its completions.
class TestTransfer : public usbdrv::Transfer {
 public:
  // A read of `room` bytes on `address`.
  TestTransfer(uint8_t address, uint32_t room) : buffer_(room, 0xCC) {
    endpoint = address;
    data = buffer_.empty() ? nullptr : buffer_.data();
    length = room;
  }
  // A write of `bytes` on `address`.
  TestTransfer(uint8_t address, const std::string& bytes) : buffer_(bytes.begin(), bytes.end()) {
    endpoint = address;
    data = buffer_.empty() ? nullptr : buffer_.data();
    length = static_cast<uint32_t>(buffer_.size());
  }
  ~TestTransfer() = default;

  void Complete(uint32_t status, uint32_t actual) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++calls_;
    status_ = status;
    actual_ = actual;
    done_ = std::chrono::steady_clock::now();
    cv_.notify_all();
  }

  bool Wait(uint32_t ms = kWaitMs) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return calls_ > 0; });
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  uint32_t status() {
    std::lock_guard<std::mutex> lock(mu_);
    return status_;
  }
  uint32_t actual() {
    std::lock_guard<std::mutex> lock(mu_);
    return actual_;
  }
  std::chrono::steady_clock::time_point done() {
    std::lock_guard<std::mutex> lock(mu_);
    return done_;
  }
  // The received bytes (the first `actual`).
  std::string text() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::string(buffer_.begin(),
                       buffer_.begin() + std::min<size_t>(actual_, buffer_.size()));
  }
  // The byte just past the received ones is left untouched.
  uint8_t byteAt(size_t i) {
    std::lock_guard<std::mutex> lock(mu_);
    return buffer_[i];
  }

 private:
  std::vector<uint8_t> buffer_;
  std::mutex mu_;
  std::condition_variable cv_;
  int calls_ = 0;
  uint32_t status_ = 0xFFFFFFFF;
  uint32_t actual_ = 0xFFFFFFFF;
  std::chrono::steady_clock::time_point done_{};
};

// A function that records every write and answers as `answer` says
// (default: accept everything, send nothing).
class RecorderFunction : public sim::Function {
 public:
  using Answer = std::function<sim::WriteResult(const std::string&, sim::InPipe&)>;
  explicit RecorderFunction(Answer answer = nullptr) : answer_(std::move(answer)) {}

  sim::WriteResult OnWrite(const uint8_t* data, uint32_t length, sim::InPipe& in) override {
    std::string bytes(reinterpret_cast<const char*>(data), length);
    {
      std::lock_guard<std::mutex> lock(mu_);
      writes_.push_back(bytes);
    }
    if (answer_) return answer_(bytes, in);
    return sim::WriteResult{0, length};
  }
  std::vector<std::string> writes() {
    std::lock_guard<std::mutex> lock(mu_);
    return writes_;
  }

 private:
  Answer answer_;
  std::mutex mu_;
  std::vector<std::string> writes_;
};

inline void Send(sim::Device& dev, uint8_t number, const std::string& s, uint32_t delayMs = 0) {
  dev.In(number).Send(s.data(), s.size(), delayMs);
}

// A session bound to `address`; the bind must succeed.
inline std::unique_ptr<usbdrv::Session> Bound(sim::Device& dev, uint8_t address) {
  std::unique_ptr<usbdrv::Session> s = dev.Open();
  if (!s) {
    ADD_FAILURE() << "open failed";
    return s;
  }
  EXPECT_EQ(0u, s->BindEndpoint(address));
  return s;
}

// A valid set configuration record: first configuration, interface 0,
// alternate setting 0, 4096-byte transfers.
inline std::vector<uint8_t> ConfigRecord() {
  std::vector<uint8_t> r(260, 0);
  r[2] = 1;     // one interface entry
  r[9] = 0x10;  // maximum transfer size 4096
  return r;
}

// Hands a set configuration record to the session as the driver stand-in
// does: decoded into a typed request.
inline uint32_t SetConfiguration(usbdrv::Session& session, const std::vector<uint8_t>& record) {
  usbdrv::ConfigurationRequest request;
  if (!usbdrv::DecodeConfigurationRecord(record.data(), static_cast<uint32_t>(record.size()),
                                         &request)) {
    return USBDRV_ERROR_INVALID_PARAMETER;
  }
  return session.SetConfiguration(request);
}

}  // namespace simtest

#endif
