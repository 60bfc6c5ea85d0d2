// A driver transfer for tests: its own buffer, and a wait for its completion.
#ifndef VELKOR_TESTS_LIBUSB_TRANSFER_PROBE_H
#define VELKOR_TESTS_LIBUSB_TRANSFER_PROBE_H

#include <usbdrv/device.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace usbfs {

class TransferProbe final : public usbdrv::Transfer {
 public:
  // A read of `size` bytes on `address`, or a write of `bytes`.
  static TransferProbe* Read(uint8_t address, uint32_t size) {
    auto* probe = new TransferProbe;
    probe->buffer_.assign(size, 0);
    probe->Setup(address);
    return probe;
  }
  static TransferProbe* Write(uint8_t address, const std::string& bytes) {
    auto* probe = new TransferProbe;
    probe->buffer_.assign(bytes.begin(), bytes.end());
    probe->Setup(address);
    return probe;
  }

  void Complete(uint32_t status, uint32_t actual) override {
    std::lock_guard<std::mutex> guard(lock_);
    calls_++;
    status_ = status;
    actual_ = actual;
    changed_.notify_all();
  }

  // True once completed; false after `timeoutMs` without completion.
  bool Wait(int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [this] { return calls_ > 0; });
  }
  bool Completed() {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_ > 0;
  }
  int Calls() {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
  }
  uint32_t Status() {
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
  }
  uint32_t Actual() {
    std::lock_guard<std::mutex> guard(lock_);
    return actual_;
  }
  std::string Received() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::string(buffer_.begin(), buffer_.begin() + actual_);
  }

 private:
  TransferProbe() = default;
  void Setup(uint8_t address) {
    endpoint = address;
    data = buffer_.data();
    length = static_cast<uint32_t>(buffer_.size());
  }

  std::vector<uint8_t> buffer_;
  std::mutex lock_;
  std::condition_variable changed_;
  int calls_ = 0;
  uint32_t status_ = 0;
  uint32_t actual_ = 0;
};

}  // namespace usbfs

#endif
