// Shared pieces of the device link tests.
#ifndef VELKOR_TESTS_LINK_LINK_TEST_UTIL_H
#define VELKOR_TESTS_LINK_LINK_TEST_UTIL_H

#include <gtest/gtest.h>
#include <posixplat/testing.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/register.h"
#include "usbhandler/usbhandler.h"
#include "usbio/setupapiloader.h"

constexpr uint32_t kWaitMs = 10000;

// What onRecv was given, copied during the call.
struct Received {
  DWORD status;
  std::string data;
  DWORD capacity;
  bool tailZero;
};

class RecordingCallback : public CUsbCallback {
 public:
  void onRecv(CUsbIoBuffer* buffer) override {
    Received received{buffer->status,
                      std::string(reinterpret_cast<char*>(buffer->dataPtr), buffer->actualLength),
                      buffer->capacity, true};
    for (DWORD i = buffer->actualLength; i < buffer->capacity; i++) {
      if (buffer->dataPtr[i] != 0) received.tailZero = false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(received);
    changed_.notify_all();
  }
  std::vector<Received> All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
  }
  bool WaitForCount(size_t count, uint32_t ms = kWaitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return received_.size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> received_;
};

// Handsets registered with the driver stand-in, in list order.
class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    posixplat::Reset();
    setupApi.Unload();
  }
  void TearDown() override { setupApi.Unload(); }

  std::shared_ptr<sim::Device> AddDevice(uint16_t vendor = 0xADDE, uint16_t product = 0xEFBE,
                                         uint8_t configurationValue = 0) {
    auto device = std::make_shared<sim::Device>(vendor, product, configurationValue);
    sim::RegisterHandset(device);
    devices.push_back(device);
    return device;
  }

  // The endpoint addresses each session of a device was bound to.
  static std::vector<uint8_t> Binds(const sim::Device& device) {
    std::vector<uint8_t> addresses;
    for (const sim::ControlRecord& record : device.Controls()) {
      if (record.request == sim::Request::kBindEndpoint && record.status == 0) {
        addresses.push_back(record.input.at(0));
      }
    }
    return addresses;
  }

  std::vector<std::shared_ptr<sim::Device>> devices;
};

#endif
