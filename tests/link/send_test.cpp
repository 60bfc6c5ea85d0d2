// Sending through the link.
#include <atomic>
#include <functional>
#include <thread>

#include "link_test_util.h"

namespace {

struct SendCase {
  const char* name;
  int endpoint;
  std::function<void(sim::Device&)> fault;
  int result;
};

class SendTest : public LinkTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendTest, ReturnsTheMovedCount) {
  const SendCase& c = GetParam();
  auto handset = AddDevice();
  c.fault(*handset);
  RecordingCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  ASSERT_TRUE(link->Connect(c.endpoint));
  ASSERT_TRUE(link->StartReceiving());
  const char block[] = "0123456789abcdefghij";
  EXPECT_EQ(c.result, link->Send(block, 20));
  auto writes = handset->Writes(static_cast<uint8_t>(c.endpoint));
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ(static_cast<uint32_t>(c.result), writes[0].actual);
  link->Disconnect();
  delete link;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SendTest,
    ::testing::Values(
        SendCase{"Whole", 3, [](sim::Device&) {}, 20},
        SendCase{"WholeOnTheLoader", 7, [](sim::Device&) {}, 20},
        SendCase{"Short", 3, [](sim::Device& d) { d.ShortWrites(3, 1, 7); }, 7},
        SendCase{"ShortOnTheLoader", 7, [](sim::Device& d) { d.ShortWrites(7, 1, 12); }, 12},
        SendCase{"Failed", 3, [](sim::Device& d) { d.FailWrites(3, 1, 0xE0001000); }, 0},
        SendCase{"FailedOnTheLoader", 7, [](sim::Device& d) { d.FailWrites(7, 1, 31); }, 0}),
    [](const ::testing::TestParamInfo<SendCase>& info) { return info.param.name; });

TEST_F(LinkTest, SendOnAnUnconnectedLinkMovesNothing) {
  RecordingCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  EXPECT_EQ(0, link->Send("x", 1));
  delete link;
}

TEST_F(LinkTest, SendRefusesANegativeLength) {
  auto handset = AddDevice();
  RecordingCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  ASSERT_TRUE(link->Connect(3));
  EXPECT_EQ(0, link->Send("abc", -1));
  EXPECT_TRUE(handset->Writes(3).empty()) << "nothing was written";
  delete link;
}

TEST_F(LinkTest, SendWaitsForAWriteTheHandsetHoldsBack) {
  auto handset = AddDevice();
  handset->StallWrites(3, true);
  RecordingCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  ASSERT_TRUE(link->Connect(3));
  std::atomic<int> result{-1};
  std::thread sender([&] { result = link->Send("held", 4); });
  ASSERT_TRUE(handset->WaitUntil([&] { return handset->WritesPending(3) == 1; }, kWaitMs));
  EXPECT_EQ(-1, result.load());
  handset->StallWrites(3, false);
  sender.join();
  EXPECT_EQ(4, result.load());
  delete link;
}

}  // namespace
