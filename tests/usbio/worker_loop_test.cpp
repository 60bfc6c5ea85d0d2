// What the read and the write loop do with completions.
#include <thread>

#include "recording_workers.h"
#include "usbio_test_util.h"

namespace {

const DWORD kCounted = 0xE0001000;  // an ordinary read failure
const DWORD kPoweredDown = USBIO_STATUS_POWERED_DOWN;

class WorkerLoopTest : public UsbIoTest {
 protected:
  void SetUp() override {
    UsbIoTest::SetUp();
    handset = AddDevice();
    list = List();
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(0u, reader.AttachEndpoint(0, 0x83, list, Class()));
  }
  void TearDown() override {
    reader.ShutdownThread();
    UsbIoTest::TearDown();
  }

  std::shared_ptr<sim::Device> handset;
  HDEVINFO list = nullptr;
  RecordingReader reader;
};

// One scripted run of completions: failures with a status, or successes
// ('0': zero bytes). The loop must hand over exactly the expected prefix and
// then end by itself (the reads left over complete with zero bytes and are
// drained unseen).
struct Outcome {
  int count;
  DWORD status;  // 0: success with zero bytes
};

struct ErrorLimitCase {
  const char* name;
  DWORD errorLimit;
  std::vector<Outcome> script;
  std::vector<DWORD> handedOver;  // statuses of the OnTransferDone calls
};

class ErrorLimitTest : public WorkerLoopTest,
                       public ::testing::WithParamInterface<ErrorLimitCase> {};

std::vector<DWORD> Repeat(std::vector<DWORD> statuses, int count, DWORD status) {
  statuses.insert(statuses.end(), count, status);
  return statuses;
}

TEST_P(ErrorLimitTest, LoopEndsAfterMoreThanTheLimitOfCountedFailures) {
  for (const Outcome& outcome : GetParam().script) {
    if (outcome.status == 0) {
      handset->ZeroReads(3, outcome.count);
    } else {
      handset->FailReads(3, outcome.count, outcome.status);
    }
  }
  handset->ZeroReads(3, 200);
  ASSERT_TRUE(reader.CreateBuffers(4096, 32));
  ASSERT_TRUE(reader.LaunchWorker(GetParam().errorLimit));
  ASSERT_TRUE(reader.record.WaitForExit(kWaitMs)) << "the loop did not end by itself";

  std::vector<DWORD> handedOver;
  std::vector<WorkerEvent> events = reader.record.Events();
  for (size_t i = 0; i < events.size(); i++) {
    if (events[i].kind == 'D') {
      handedOver.push_back(events[i].status);
      bool failed = events[i].status != 0;
      bool sawError =
          i > 0 && events[i - 1].kind == 'E' && events[i - 1].status == events[i].status;
      EXPECT_EQ(failed, sawError) << "a failed read goes to OnTransferError first, at " << i;
    }
  }
  EXPECT_EQ(GetParam().handedOver, handedOver);
  EXPECT_EQ(0u, handset->ReadsPending(3)) << "the drain collected every read";
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ErrorLimitTest,
    ::testing::Values(
        ErrorLimitCase{"FourFailuresEndIt", 3, {{4, kCounted}}, Repeat({}, 4, kCounted)},
        ErrorLimitCase{"LimitZeroEndsAfterOne", 0, {{1, kCounted}}, {kCounted}},
        ErrorLimitCase{
            "ASuccessResetsTheCount",
            3,
            {{3, kCounted}, {1, 0}, {3, kCounted}, {1, 0}, {4, kCounted}},
            Repeat(Repeat(Repeat(Repeat({kCounted, kCounted, kCounted}, 1, 0), 3, kCounted), 1, 0),
                   4, kCounted)},
        ErrorLimitCase{"PoweredDownDoesNotReset",
                       3,
                       {{3, kCounted}, {2, kPoweredDown}, {1, kCounted}},
                       Repeat(Repeat(Repeat({}, 3, kCounted), 2, kPoweredDown), 1, kCounted)},
        ErrorLimitCase{
            "PoweredDownDoesNotCount",
            3,
            {{3, kCounted}, {5, kPoweredDown}, {1, 0}, {4, kCounted}},
            Repeat(Repeat(Repeat(Repeat({}, 3, kCounted), 5, kPoweredDown), 1, 0), 4, kCounted)}),
    [](const ::testing::TestParamInfo<ErrorLimitCase>& info) { return info.param.name; });

TEST_F(WorkerLoopTest, ReadsAreHandedOverInOrderWithZeroedTails) {
  ASSERT_TRUE(reader.CreateBuffers(4096, 32));
  ASSERT_TRUE(reader.LaunchWorker(3));
  std::string full(4096, '\xFF');
  handset->In(3).Send(full.data(), full.size());
  const int kShort = 70;  // more than the buffers: every buffer is reused
  for (int i = 0; i < kShort; i++) {
    std::string text = "t" + std::to_string(i);
    handset->In(3).Send(text.data(), text.size());
  }
  ASSERT_TRUE(reader.record.WaitForEvents(kShort + 1, kWaitMs));
  auto done = reader.record.Done();
  ASSERT_EQ(static_cast<size_t>(kShort + 1), done.size());
  EXPECT_EQ(full, done[0].data);
  for (int i = 0; i < kShort; i++) {
    EXPECT_EQ("t" + std::to_string(i), done[i + 1].data);
    EXPECT_TRUE(done[i + 1].tailZero) << i;
  }
}

TEST_F(WorkerLoopTest, ZeroByteReadsAreHandedOver) {
  handset->ZeroReads(3, 2);
  ASSERT_TRUE(reader.CreateBuffers(4096, 32));
  ASSERT_TRUE(reader.LaunchWorker(3));
  handset->In(3).Send("x", 1);
  ASSERT_TRUE(reader.record.WaitForEvents(3, kWaitMs));
  auto events = reader.record.Events();
  ASSERT_EQ(3u, events.size());
  EXPECT_EQ('D', events[0].kind);
  EXPECT_EQ(0u, events[0].actualLength);
  EXPECT_EQ(0u, events[0].status);
  EXPECT_EQ('D', events[1].kind);
  EXPECT_EQ("x", events[2].data);
}

TEST_F(WorkerLoopTest, PrepareBufferWithNoLengthStopsTheLoop) {
  handset->Withhold(3, true);
  reader.fullPrepares = 2;
  ASSERT_TRUE(reader.CreateBuffers(4096, 32));
  ASSERT_TRUE(reader.LaunchWorker(3));
  ASSERT_TRUE(handset->WaitUntil([&] { return handset->ReadsPending(3) == 2; }, kWaitMs));
  handset->In(3).Send("a", 1);
  handset->In(3).Send("b", 1);
  handset->Withhold(3, false);
  ASSERT_TRUE(reader.record.WaitForExit(kWaitMs));
  auto done = reader.record.Done();
  ASSERT_EQ(2u, done.size());
  EXPECT_EQ("a", done[0].data);
  EXPECT_EQ("b", done[1].data);
  EXPECT_EQ(0u, handset->ReadsPending(3));
}

TEST_F(WorkerLoopTest, NoSubmissionWhenTheFirstBufferHasNoLength) {
  reader.fullPrepares = 0;
  ASSERT_TRUE(reader.CreateBuffers(4096, 32));
  ASSERT_TRUE(reader.LaunchWorker(3));
  ASSERT_TRUE(reader.record.WaitForExit(kWaitMs));
  EXPECT_TRUE(reader.record.Events().empty());
  EXPECT_EQ(0u, handset->ReadsCompleted(3) + handset->ReadsPending(3));
}

TEST_F(WorkerLoopTest, ShutdownHandsOverTheWaitedReadOnlyAndLeavesNothingQueued) {
  handset->Withhold(3, true);
  ASSERT_TRUE(reader.CreateBuffers(4096, 32));
  ASSERT_TRUE(reader.LaunchWorker(3));
  ASSERT_TRUE(handset->WaitUntil([&] { return handset->ReadsPending(3) == 32; }, kWaitMs));
  EXPECT_TRUE(reader.ShutdownThread());
  auto events = reader.record.Events();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ('E', events[0].kind);
  EXPECT_EQ('D', events[1].kind);
  EXPECT_NE(0u, events[1].status);
  EXPECT_EQ(0u, events[1].actualLength);
  EXPECT_EQ(1, reader.record.Exits());
  EXPECT_EQ(0u, handset->ReadsPending(3));
}

TEST_F(WorkerLoopTest, ShutdownWhileReadsKeepCompletingLeavesNothingQueued) {
  ASSERT_TRUE(reader.CreateBuffers(256, 4));
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    while (feeding) {
      handset->In(3).Send("data", 4);
      if (handset->InQueued(3) > 8) std::this_thread::yield();
    }
  });
  for (int round = 0; round < 20; round++) {
    ASSERT_TRUE(reader.LaunchWorker(3));
    size_t before = reader.record.Done().size();
    ASSERT_TRUE(reader.record.WaitForEvents(before + 1, kWaitMs));
    ASSERT_TRUE(reader.ShutdownThread());
    ASSERT_EQ(0u, handset->ReadsPending(3)) << "round " << round;
  }
  feeding = false;
  feeder.join();
}

TEST_F(WorkerLoopTest, WriteLoopSendsUntilTheStreamEnds) {
  RecordingWriter writer(5);
  ASSERT_EQ(0u, writer.AttachEndpoint(0, 0x03, list, Class()));
  ASSERT_TRUE(writer.CreateBuffers(64, 3));
  ASSERT_TRUE(writer.LaunchWorker(3));
  ASSERT_TRUE(writer.record.WaitForExit(kWaitMs));
  EXPECT_TRUE(writer.ShutdownThread());
  auto writes = handset->Writes(3);
  ASSERT_EQ(5u, writes.size());
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ("block " + std::to_string(i),
              std::string(writes[i].data.begin(), writes[i].data.end()));
  }
  EXPECT_TRUE(writer.record.Events().empty()) << "the write loop calls no OnTransferDone";
}

TEST_F(WorkerLoopTest, WriteLoopEndsAfterTooManyFailures) {
  handset->FailWrites(3, 4, kCounted);
  RecordingWriter writer(1000);
  ASSERT_EQ(0u, writer.AttachEndpoint(0, 0x03, list, Class()));
  ASSERT_TRUE(writer.CreateBuffers(64, 4));
  ASSERT_TRUE(writer.LaunchWorker(3));
  ASSERT_TRUE(writer.record.WaitForExit(kWaitMs));
  auto events = writer.record.Events();
  ASSERT_EQ(4u, events.size());
  for (const WorkerEvent& event : events) {
    EXPECT_EQ('E', event.kind);
    EXPECT_EQ(kCounted, event.status);
  }
  EXPECT_EQ(0u, handset->WritesPending(3));
}

}  // namespace
