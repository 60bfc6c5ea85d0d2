// The simulated handset under concurrent submission, cancellation, abort and
// device-side sends: every transfer completes exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/device.h"
#include "sim_test_util.h"

using simtest::RecorderFunction;
using simtest::TestTransfer;

namespace {

TEST(SimDeviceThreads, ConcurrentSubmitCancelAbortCompleteEachTransferOnce) {
  constexpr int kPerThread = 200;
  sim::Device dev(sim::kDefaultVendor, sim::kDefaultProduct, 1);
  auto echo = std::make_shared<RecorderFunction>([](const std::string& bytes, sim::InPipe& in) {
    in.Send(bytes.data(), bytes.size());
    return sim::WriteResult{0, static_cast<uint32_t>(bytes.size())};
  });
  dev.SetFunction(3, echo);
  auto reader = dev.Open();
  auto writer = dev.Open();
  ASSERT_EQ(0u, reader->BindEndpoint(0x83));
  ASSERT_EQ(0u, writer->BindEndpoint(0x03));

  std::vector<std::unique_ptr<TestTransfer>> reads, writes;
  for (int i = 0; i < 2 * kPerThread; ++i) reads.push_back(std::make_unique<TestTransfer>(0x83, 8));
  for (int i = 0; i < kPerThread; ++i) {
    writes.push_back(std::make_unique<TestTransfer>(0x03, "w" + std::to_string(i)));
  }

  std::atomic<bool> go{false};
  auto readSubmitter = [&](int from) {
    while (!go) std::this_thread::yield();
    for (int i = from; i < from + kPerThread; ++i) {
      reader->Submit(reads[i].get());
      if (i % 7 == 0) reader->Cancel(reads[i].get());
      if (i % 50 == 0) reader->AbortEndpoint();
    }
  };
  std::thread t1(readSubmitter, 0);
  std::thread t2(readSubmitter, kPerThread);
  std::thread t3([&] {
    while (!go) std::this_thread::yield();
    for (auto& w : writes) writer->Submit(w.get());
  });
  std::thread t4([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < kPerThread; ++i) {
      dev.In(3).Send("x", 1, i % 3);
      if (i % 40 == 0) dev.FailReads(3, 2, 0xE0001000);
    }
  });
  go = true;
  t1.join();
  t2.join();
  t3.join();
  t4.join();

  for (auto& w : writes) ASSERT_TRUE(w->Wait());
  reader->AbortEndpoint();
  for (auto& r : reads) ASSERT_TRUE(r->Wait());
  for (auto& r : reads) EXPECT_EQ(1, r->calls());
  for (auto& w : writes) {
    EXPECT_EQ(1, w->calls());
    EXPECT_EQ(0u, w->status());
  }
  EXPECT_EQ(static_cast<size_t>(kPerThread), echo->writes().size());
  EXPECT_EQ(0u, dev.ReadsPending(3));
  // Every read the device completed with data got one whole IN transfer.
  for (auto& r : reads) {
    if (r->status() == 0) {
      EXPECT_GE(r->actual(), 1u);
    }
  }
}

TEST(SimDeviceThreads, CompletionMayCallBackIntoTheSession) {
  // A read that resubmits itself from its completion, as a driver stand-in
  // might from its own completion path.
  class Resubmitting : public usbdrv::Transfer {
   public:
    Resubmitting(usbdrv::Session* s, int rounds) : session_(s), rounds_(rounds) {
      endpoint = 0x83;
      data = buffer_;
      length = sizeof(buffer_);
    }
    void Complete(uint32_t status, uint32_t) override {
      std::lock_guard<std::mutex> lock(mu_);
      statuses_.push_back(status);
      if (--rounds_ > 0) {
        session_->Submit(this);
      } else {
        cv_.notify_all();
      }
    }
    bool WaitDone() {
      std::unique_lock<std::mutex> lock(mu_);
      return cv_.wait_for(lock, std::chrono::milliseconds(simtest::kWaitMs),
                          [this] { return rounds_ == 0; });
    }
    std::vector<uint32_t> statuses() {
      std::lock_guard<std::mutex> lock(mu_);
      return statuses_;
    }

   private:
    usbdrv::Session* session_;
    int rounds_;
    uint8_t buffer_[16];
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<uint32_t> statuses_;
  };

  sim::Device dev(sim::kDefaultVendor, sim::kDefaultProduct, 1);
  auto s = dev.Open();
  ASSERT_EQ(0u, s->BindEndpoint(0x83));
  Resubmitting t(s.get(), 3);
  dev.FailReads(3, 2, 0xE0001000);
  dev.In(3).Send("z", 1);
  s->Submit(&t);
  ASSERT_TRUE(t.WaitDone());
  EXPECT_EQ((std::vector<uint32_t>{0xE0001000, 0xE0001000, 0}), t.statuses());
}

TEST(SimDeviceThreads, DeviceReleasedFromInsideACompletion) {
  // The last owner of the device lets go of it in a completion that the
  // device's own thread makes.
  class Releasing : public usbdrv::Transfer {
   public:
    explicit Releasing(std::shared_ptr<sim::Device> dev) : dev_(std::move(dev)) {
      endpoint = 0x83;
      data = buffer_;
      length = sizeof(buffer_);
    }
    void Complete(uint32_t status, uint32_t actual) override {
      dev_.reset();
      std::lock_guard<std::mutex> lock(mu_);
      status_ = status;
      actual_ = actual;
      done_ = true;
      cv_.notify_all();
    }
    bool Wait() {
      std::unique_lock<std::mutex> lock(mu_);
      return cv_.wait_for(lock, std::chrono::milliseconds(simtest::kWaitMs),
                          [this] { return done_; });
    }
    uint32_t actual() {
      std::lock_guard<std::mutex> lock(mu_);
      return actual_;
    }

   private:
    std::shared_ptr<sim::Device> dev_;
    uint8_t buffer_[8];
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    uint32_t status_ = 1;
    uint32_t actual_ = 0;
  };

  auto dev = std::make_shared<sim::Device>(sim::kDefaultVendor, sim::kDefaultProduct, 1);
  auto s = dev->Open();
  ASSERT_EQ(0u, s->BindEndpoint(0x83));
  Releasing t(dev);
  std::weak_ptr<sim::Device> watch = dev;
  dev->In(3).Send("bye", 3, 20);
  s->Submit(&t);
  dev.reset();
  ASSERT_TRUE(t.Wait());
  EXPECT_EQ(3u, t.actual());
  EXPECT_TRUE(watch.expired());
  // The session still works without its device.
  s->AbortEndpoint();
}

}  // namespace
