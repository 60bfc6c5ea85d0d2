// A shutdown that falls between the read loop's stop test and its next
// submission must not leave a read queued behind the cancellation.
#include <future>

#include "gated_instance.h"
#include "recording_workers.h"
#include "usbio_test_util.h"

namespace {

class StopRaceTest : public UsbIoTest {
 protected:
  void SetUp() override {
    UsbIoTest::SetUp();
    instance = std::make_shared<GatedInstance>(2);
    sim::RegisterHandset(instance);
    ASSERT_EQ(0u, reader.AttachEndpoint(0, 0x83, List(), Class()));
  }
  void TearDown() override {
    instance->OpenGate();
    reader.ShutdownThread();
    UsbIoTest::TearDown();
  }

  std::shared_ptr<GatedInstance> instance;
  RecordingReader reader;
};

TEST_F(StopRaceTest, ReadSubmittedAfterTheStopIsWithdrawnByTheWorker) {
  ASSERT_TRUE(reader.CreateBuffers(64, 4));
  ASSERT_TRUE(reader.LaunchWorker(3));
  // The worker is inside its second submission, past its stop tests. The
  // stop comes now, and the cancellation that would end the reads never
  // does: the worker must withdraw them itself.
  ASSERT_TRUE(instance->WaitUntilGated(kWaitMs));
  reader.RequestStopOnly();
  instance->OpenGate();
  ASSERT_TRUE(reader.record.WaitForExit(kWaitMs))
      << "a read queued after the stop kept the worker waiting";
  EXPECT_EQ(0u, instance->Pending());
  EXPECT_EQ(2, instance->Submissions()) << "no read submitted after the stop was seen";
  // The waited read is handed over once, with the cancellation's failure.
  auto events = reader.record.Events();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ('E', events[0].kind);
  EXPECT_EQ('D', events[1].kind);
  EXPECT_EQ(995u, events[1].status);
  EXPECT_TRUE(reader.ShutdownThread());
}

// The same with a driver that does not honour CancelIo: the worker's abort,
// after its last submission, ends the reads.
TEST_F(StopRaceTest, ReadSubmittedAfterTheStopIsWithdrawnWhenCancelIoIsIgnored) {
  instance->IgnoreCancel();
  ASSERT_TRUE(reader.CreateBuffers(64, 4));
  ASSERT_TRUE(reader.LaunchWorker(3));
  ASSERT_TRUE(instance->WaitUntilGated(kWaitMs));
  reader.RequestStopOnly();
  instance->OpenGate();
  ASSERT_TRUE(reader.record.WaitForExit(kWaitMs))
      << "a read queued after the stop kept the worker waiting";
  EXPECT_EQ(0u, instance->Pending());
  EXPECT_EQ(1, instance->Aborts()) << "the worker's own abort";
  auto events = reader.record.Events();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ('E', events[0].kind);
  EXPECT_EQ('D', events[1].kind);
  EXPECT_EQ(995u, events[1].status);
  EXPECT_TRUE(reader.ShutdownThread());
}

TEST_F(StopRaceTest, NoReadIsSubmittedOnceTheStopIsSeen) {
  // Hold the worker in the preparation of its second buffer instead; its
  // submissions pass straight through.
  instance->OpenGate();
  std::promise<void> inPrepare;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  reader.onPrepare = [&](int prepared) {
    if (prepared == 2) {
      inPrepare.set_value();
      released.wait();
    }
  };
  ASSERT_TRUE(reader.CreateBuffers(64, 4));
  ASSERT_TRUE(reader.LaunchWorker(3));
  ASSERT_EQ(std::future_status::ready,
            inPrepare.get_future().wait_for(std::chrono::milliseconds(kWaitMs)));
  std::future<bool> shutdown =
      std::async(std::launch::async, [&] { return reader.ShutdownThread(); });
  ASSERT_TRUE(instance->WaitUntilAborted(kWaitMs));
  release.set_value();
  ASSERT_EQ(std::future_status::ready, shutdown.wait_for(std::chrono::milliseconds(kWaitMs)));
  EXPECT_TRUE(shutdown.get());
  EXPECT_EQ(1, instance->Submissions());
  EXPECT_EQ(0u, instance->Pending());
  EXPECT_EQ(2u, reader.record.Events().size()) << "the waited read, aborted";
}

}  // namespace
