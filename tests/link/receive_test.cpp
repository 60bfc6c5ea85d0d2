// Receiving through the link: StartReceiving, onRecv and Disconnect.
#include <atomic>
#include <string>
#include <thread>

#include "echo_function.h"
#include "link_test_util.h"

namespace {

const char kStillRunningText[] =
    "CUsbIoThread::~CUsbIoThread(): Thread is still running! ShutdownThread() must be called "
    "before the object is destroyed!\n";

class ReceiveTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    handset = AddDevice();
    link = new CUsbHandler(&callback);
    ASSERT_TRUE(link->Connect(3));
  }
  void TearDown() override {
    link->Disconnect();
    delete link;
    LinkTest::TearDown();
  }
  bool ReadsQueued(uint8_t number = 3) {
    return handset->WaitUntil([&] { return handset->ReadsPending(number) == 32; }, kWaitMs);
  }

  std::shared_ptr<sim::Device> handset;
  RecordingCallback callback;
  CUsbHandler* link = nullptr;
};

// Blocks sent on either endpoint number come back through onRecv in order.
class RoundTripTest : public LinkTest, public ::testing::WithParamInterface<int> {};

TEST_P(RoundTripTest, BlocksComeBackInOrderAndDisconnectIsClean) {
  const uint8_t number = static_cast<uint8_t>(GetParam());
  const uint8_t other = number == 3 ? 7 : 3;
  auto handset = AddDevice();
  handset->SetFunction(number, std::make_shared<EchoFunction>());
  RecordingCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  ASSERT_TRUE(link->Connect(number));
  ASSERT_TRUE(link->StartReceiving());

  std::vector<std::string> blocks;
  for (int i = 0; i < 40; i++) {
    blocks.push_back(
        std::string(static_cast<size_t>(i) * 97 % 600 + 1, static_cast<char>('a' + i % 26)));
  }
  blocks.push_back(std::string(4096, 'F'));
  blocks.push_back("last\r\n");
  for (const std::string& block : blocks) {
    ASSERT_EQ(static_cast<int>(block.size()),
              link->Send(block.data(), static_cast<int>(block.size())));
  }
  ASSERT_TRUE(callback.WaitForCount(blocks.size()));
  auto received = callback.All();
  ASSERT_EQ(blocks.size(), received.size());
  for (size_t i = 0; i < blocks.size(); i++) {
    EXPECT_EQ(0u, received[i].status) << i;
    EXPECT_EQ(blocks[i], received[i].data) << i;
    EXPECT_EQ(4096u, received[i].capacity) << i;
    EXPECT_TRUE(received[i].tailZero) << i;
  }
  EXPECT_TRUE(handset->Writes(other).empty());

  ASSERT_TRUE(handset->WaitUntil([&] { return handset->ReadsPending(number) == 32; }, kWaitMs));
  link->Disconnect();
  EXPECT_EQ(blocks.size() + 1, callback.Count()) << "one last onRecv, for the waited read";
  posixplat::FlushCompletions();  // sessions go with their last completion
  EXPECT_EQ(0, handset->OpenSessions());
  EXPECT_EQ(0u, handset->ReadsPending(number));
  delete link;
  EXPECT_EQ(0, posixplat::OpenDriverHandleCount());
}

INSTANTIATE_TEST_SUITE_P(Endpoints, RoundTripTest, ::testing::Values(3, 7),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == 3 ? "Shell" : "Loader");
                         });

TEST_F(ReceiveTest, StartReceivingTwiceStartsOneWorker) {
  handset->Withhold(3, true);
  ASSERT_TRUE(link->StartReceiving());
  ASSERT_TRUE(ReadsQueued());
  int handles = posixplat::OpenHandleCount();
  EXPECT_TRUE(link->StartReceiving());
  EXPECT_EQ(handles, posixplat::OpenHandleCount()) << "no further thread or buffers";
  EXPECT_EQ(32u, handset->ReadsPending(3));
}

TEST_F(ReceiveTest, DisconnectHandsOverTheWaitedReadOnly) {
  handset->Withhold(3, true);
  ASSERT_TRUE(link->StartReceiving());
  ASSERT_TRUE(ReadsQueued());
  link->Disconnect();
  auto received = callback.All();
  ASSERT_EQ(1u, received.size());
  EXPECT_NE(0u, received[0].status);
  EXPECT_EQ("", received[0].data);
  EXPECT_EQ(0u, handset->ReadsPending(3));
  posixplat::FlushCompletions();  // sessions go with their last completion
  EXPECT_EQ(0, handset->OpenSessions());

  // The handset talks on: nobody listens any more.
  handset->Withhold(3, false);
  handset->In(3).Send("late", 4);
  posixplat::FlushCompletions();
  EXPECT_EQ(1u, callback.Count());
  link->Disconnect();
  EXPECT_EQ(1u, callback.Count());
}

TEST_F(ReceiveTest, NoOnRecvAfterDisconnectWhileTheHandsetKeepsSending) {
  ASSERT_TRUE(link->StartReceiving());
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    while (feeding) {
      handset->In(3).Send("more", 4);
      if (handset->InQueued(3) > 16) std::this_thread::yield();
    }
  });
  ASSERT_TRUE(callback.WaitForCount(10));
  link->Disconnect();
  size_t count = callback.Count();
  posixplat::FlushCompletions();  // sessions go with their last completion
  EXPECT_EQ(0, handset->OpenSessions());
  ASSERT_TRUE(handset->WaitUntil([&] { return handset->InQueued(3) > 100; }, kWaitMs));
  feeding = false;
  feeder.join();
  posixplat::FlushCompletions();
  EXPECT_EQ(count, callback.Count());
}

TEST_F(ReceiveTest, ZeroByteAndFailedReadsReachOnRecv) {
  handset->ZeroReads(3, 1);
  handset->FailReads(3, 1, 0xE0001000);
  handset->In(3).Send("data", 4);
  ASSERT_TRUE(link->StartReceiving());
  ASSERT_TRUE(callback.WaitForCount(3));
  auto received = callback.All();
  EXPECT_EQ(0u, received[0].status);
  EXPECT_EQ("", received[0].data);
  EXPECT_EQ(0xE0001000u, received[1].status);
  EXPECT_EQ("", received[1].data);
  EXPECT_EQ(0u, received[2].status);
  EXPECT_EQ("data", received[2].data);
}

TEST_F(ReceiveTest, DisconnectWithoutReceivingLeavesTheEndpointsOpen) {
  link->Disconnect();
  EXPECT_EQ(2, handset->OpenSessions());
  delete link;
  link = nullptr;
  posixplat::FlushCompletions();  // sessions go with their last completion
  EXPECT_EQ(0, handset->OpenSessions()) << "the destructor closes both endpoints";
  link = new CUsbHandler(&callback);  // for TearDown
}

TEST_F(ReceiveTest, DestroyingAReceivingLinkIsReportedAndStopsTheWorker) {
  handset->Withhold(3, true);
  ASSERT_TRUE(link->StartReceiving());
  ASSERT_TRUE(ReadsQueued());
  posixplat::ClearDebugOutput();
  delete link;
  link = new CUsbHandler(&callback);  // for TearDown
  EXPECT_EQ(kStillRunningText, posixplat::DebugOutput());
  posixplat::FlushCompletions();  // sessions go with their last completion
  EXPECT_EQ(0, handset->OpenSessions());
  EXPECT_EQ(0u, handset->ReadsPending(3));
  EXPECT_LE(callback.Count(), 1u);
}

// The read worker's error limit of 3, seen through the link.
const DWORD kCounted = 0xE0001000;
const DWORD kPoweredDown = 0xE000101B;

TEST_F(ReceiveTest, FourCountedFailuresEndReceiving) {
  handset->FailReads(3, 4, kCounted);
  handset->ZeroReads(3, 500);
  ASSERT_TRUE(link->StartReceiving());
  ASSERT_TRUE(callback.WaitForCount(4));
  // 32 reads at the start, one more after each of the first three failures;
  // none after the fourth, and the drain collects the rest unseen.
  ASSERT_TRUE(handset->WaitUntil([&] { return handset->ReadsCompleted(3) >= 35; }, kWaitMs));
  link->Disconnect();
  EXPECT_EQ(35u, handset->ReadsCompleted(3));
  auto received = callback.All();
  ASSERT_EQ(4u, received.size());
  for (const Received& r : received) EXPECT_EQ(kCounted, r.status);
}

struct KeepsReceivingCase {
  const char* name;
  std::vector<std::pair<int, DWORD>> failures;  // count and status; status 0: zero-byte reads
};

class KeepsReceivingTest : public ReceiveTest,
                           public ::testing::WithParamInterface<KeepsReceivingCase> {};

TEST_P(KeepsReceivingTest, DataAfterTheFailuresStillArrives) {
  size_t expected = 0;
  for (const auto& failure : GetParam().failures) {
    if (failure.second == 0) {
      handset->ZeroReads(3, failure.first);
    } else {
      handset->FailReads(3, failure.first, failure.second);
    }
    expected += failure.first;
  }
  handset->In(3).Send("alive", 5);
  ASSERT_TRUE(link->StartReceiving());
  ASSERT_TRUE(callback.WaitForCount(expected + 1));
  auto received = callback.All();
  EXPECT_EQ("alive", received.at(expected).data);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, KeepsReceivingTest,
    ::testing::Values(
        KeepsReceivingCase{"ThreeFailures", {{3, kCounted}}},
        KeepsReceivingCase{"ASuccessResetsTheCount", {{3, kCounted}, {1, 0}, {3, kCounted}}},
        KeepsReceivingCase{"PoweredDownDoesNotCount", {{3, kCounted}, {6, kPoweredDown}}}),
    [](const ::testing::TestParamInfo<KeepsReceivingCase>& info) { return info.param.name; });

TEST_F(ReceiveTest, PoweredDownDoesNotResetTheCount) {
  handset->FailReads(3, 3, kCounted);
  handset->FailReads(3, 2, kPoweredDown);
  handset->FailReads(3, 1, kCounted);
  handset->ZeroReads(3, 500);
  ASSERT_TRUE(link->StartReceiving());
  ASSERT_TRUE(callback.WaitForCount(6));
  ASSERT_TRUE(handset->WaitUntil([&] { return handset->ReadsCompleted(3) >= 37; }, kWaitMs));
  link->Disconnect();
  EXPECT_EQ(37u, handset->ReadsCompleted(3));
  EXPECT_EQ(6u, callback.Count());
}

}  // namespace
