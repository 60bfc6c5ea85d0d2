// Fault injection of the simulated handset, and abort and cancel.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim_test_util.h"

using simtest::ConfigRecord;
using simtest::SetConfiguration;
using simtest::RecorderFunction;
using simtest::Send;
using simtest::TestTransfer;

namespace {

// Time given to the device to do something it must not do.
constexpr uint32_t kQuietMs = 150;

class SimDeviceFaults : public ::testing::Test {
 protected:
  SimDeviceFaults() : dev(sim::kDefaultVendor, sim::kDefaultProduct, 1) {}

  std::unique_ptr<usbdrv::Session> Bound(uint8_t address) { return simtest::Bound(dev, address); }

  sim::Device dev;
};

TEST_F(SimDeviceFaults, ControlRequestsFailWhileFaultedAndRecoverWhenCleared) {
  auto s = dev.Open();
  uint8_t d[18];
  uint32_t length = 18;
  uint8_t value = 0xAA;
  std::vector<uint8_t> record = ConfigRecord();

  dev.FailDescriptor(0xE000100C);
  dev.FailGetConfiguration(0xE0001102);
  dev.FailSetConfiguration(0xE0001105);
  dev.SetConfigurationValue(0);
  EXPECT_EQ(0xE000100Cu, s->GetDescriptor({0, 1, 0, 0}, d, &length));
  EXPECT_EQ(0u, length);
  EXPECT_EQ(0xE0001102u, s->GetConfiguration(&value));
  EXPECT_EQ(0xAA, value);  // nothing written on failure
  EXPECT_EQ(0xE0001105u, SetConfiguration(*s, record));
  EXPECT_EQ(0, dev.ConfigurationValue());
  EXPECT_EQ(1u, dev.SetConfigurationRequests().size());  // the refused one is recorded

  dev.ClearFaults();
  length = 18;
  EXPECT_EQ(0u, s->GetDescriptor({0, 1, 0, 0}, d, &length));
  EXPECT_EQ(18u, length);
  EXPECT_EQ(0u, SetConfiguration(*s, record));
  EXPECT_EQ(0u, s->GetConfiguration(&value));
  EXPECT_EQ(1, value);
}

TEST_F(SimDeviceFaults, BindFailsOnlyForTheFaultedAddress) {
  dev.FailBind(0x83, 0xE0001000);
  dev.FailBind(0x07, 0xE0001105);
  struct Case {
    uint8_t address;
    uint32_t status;
  } cases[] = {{0x83, 0xE0001000}, {0x03, 0}, {0x07, 0xE0001105}, {0x87, 0}};
  for (const Case& c : cases) {
    auto s = dev.Open();
    EXPECT_EQ(c.status, s->BindEndpoint(c.address)) << std::hex << int(c.address);
  }
  dev.FailBind(0x83, 0);
  EXPECT_EQ(0u, dev.Open()->BindEndpoint(0x83));
}

TEST_F(SimDeviceFaults, UnopenableInstanceGivesNoSession) {
  dev.SetOpenable(false);
  EXPECT_EQ(nullptr, dev.Open());
  EXPECT_EQ(0, dev.SessionsOpened());
  dev.ClearFaults();
  EXPECT_NE(nullptr, dev.Open());
}

TEST_F(SimDeviceFaults, FailedReadsComeFirstThenQueuedDataFollows) {
  auto s = Bound(0x83);
  Send(dev, 3, "data");
  dev.FailReads(3, 2, 0xE0001000);
  dev.FailReads(3, 1, sim::kStatusPoweredDown);
  TestTransfer r[4] = {{0x83, 64}, {0x83, 64}, {0x83, 64}, {0x83, 64}};
  for (TestTransfer& t : r) s->Submit(&t);
  for (TestTransfer& t : r) ASSERT_TRUE(t.Wait());
  EXPECT_EQ(0xE0001000u, r[0].status());
  EXPECT_EQ(0xE0001000u, r[1].status());
  EXPECT_EQ(sim::kStatusPoweredDown, r[2].status());
  EXPECT_EQ(0u, r[0].actual());
  EXPECT_EQ(0u, r[3].status());
  EXPECT_EQ("data", r[3].text());
  EXPECT_EQ(4u, dev.ReadsCompleted(3));
}

TEST_F(SimDeviceFaults, QueuedReadFaultsWaitTheirTurnBehindData) {
  auto s = Bound(0x83);
  Send(dev, 3, "a");
  dev.QueueReadFault(3, 0xE0001000);
  dev.QueueReadFault(3, sim::kStatusPoweredDown, 100);
  Send(dev, 3, "b");
  TestTransfer r[4] = {{0x83, 64}, {0x83, 64}, {0x83, 64}, {0x83, 64}};
  for (TestTransfer& t : r) s->Submit(&t);
  for (TestTransfer& t : r) ASSERT_TRUE(t.Wait());
  EXPECT_EQ("a", r[0].text());
  EXPECT_EQ(0xE0001000u, r[1].status());
  EXPECT_EQ(0u, r[1].actual());
  EXPECT_EQ(sim::kStatusPoweredDown, r[2].status());
  EXPECT_EQ(0u, r[3].status());
  EXPECT_EQ("b", r[3].text());
  EXPECT_GE(r[3].done(), r[2].done());
}

TEST_F(SimDeviceFaults, ReadFaultCompletesReadsAlreadyPending) {
  auto s = Bound(0x83);
  TestTransfer r1(0x83, 64), r2(0x83, 64);
  s->Submit(&r1);
  s->Submit(&r2);
  ASSERT_TRUE(dev.WaitUntil([&] { return dev.ReadsPending(3) == 2; }, simtest::kWaitMs));
  dev.FailReads(3, 1, 0xE0001000);
  ASSERT_TRUE(r1.Wait());
  EXPECT_EQ(0xE0001000u, r1.status());
  Send(dev, 3, "ok");
  ASSERT_TRUE(r2.Wait());
  EXPECT_EQ(0u, r2.status());
  EXPECT_EQ("ok", r2.text());
}

TEST_F(SimDeviceFaults, ZeroByteReadsSucceedEmpty) {
  auto s = Bound(0x87);
  Send(dev, 7, "#1");
  dev.ZeroReads(7, 2);
  TestTransfer r[3] = {{0x87, 64}, {0x87, 64}, {0x87, 64}};
  for (TestTransfer& t : r) s->Submit(&t);
  for (TestTransfer& t : r) ASSERT_TRUE(t.Wait());
  EXPECT_EQ(0u, r[0].status());
  EXPECT_EQ(0u, r[0].actual());
  EXPECT_EQ(0u, r[1].actual());
  EXPECT_EQ("#1", r[2].text());
}

TEST_F(SimDeviceFaults, ReadFaultForeverKeepsFailingUntilCleared) {
  auto s = Bound(0x83);
  dev.FailReads(3, sim::kForever, 0xE0001000);
  for (int i = 0; i < 5; ++i) {
    TestTransfer r(0x83, 64);
    s->Submit(&r);
    ASSERT_TRUE(r.Wait());
    EXPECT_EQ(0xE0001000u, r.status());
  }
  dev.ClearFaults();
  TestTransfer r(0x83, 64);
  s->Submit(&r);
  Send(dev, 3, "back");
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ("back", r.text());
}

TEST_F(SimDeviceFaults, FailedAndShortWritesInOrderThenNormal) {
  auto f = std::make_shared<RecorderFunction>();
  dev.SetFunction(3, f);
  auto out = Bound(0x03);
  dev.FailWrites(3, 1, 0xE0001000);
  dev.ShortWrites(3, 2, 3);
  TestTransfer w[4] = {{0x03, "first"}, {0x03, "second"}, {0x03, "third"}, {0x03, "fourth"}};
  for (TestTransfer& t : w) out->Submit(&t);
  for (TestTransfer& t : w) ASSERT_TRUE(t.Wait());
  EXPECT_EQ(0xE0001000u, w[0].status());
  EXPECT_EQ(0u, w[0].actual());
  EXPECT_EQ(0u, w[1].status());
  EXPECT_EQ(3u, w[1].actual());
  EXPECT_EQ(3u, w[2].actual());
  EXPECT_EQ(6u, w[3].actual());
  // The failed write never reached the function; the short ones were cut.
  EXPECT_EQ((std::vector<std::string>{"sec", "thi", "fourth"}), f->writes());
  std::vector<sim::WriteRecord> log = dev.Writes(3);
  ASSERT_EQ(4u, log.size());
  EXPECT_EQ(0xE0001000u, log[0].status);
  EXPECT_EQ(5u, log[0].data.size());  // the log keeps what the host wrote
  EXPECT_EQ(3u, log[1].actual);
}

TEST_F(SimDeviceFaults, WithheldDataStaysQueuedUntilReleased) {
  auto s = Bound(0x83);
  dev.Withhold(3, true);
  TestTransfer r(0x83, 64);
  s->Submit(&r);
  Send(dev, 3, "held");
  EXPECT_FALSE(r.Wait(kQuietMs));
  EXPECT_EQ(1u, dev.InQueued(3));
  EXPECT_EQ(1u, dev.ReadsPending(3));
  dev.Withhold(3, false);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ("held", r.text());
}

TEST_F(SimDeviceFaults, SilentDeviceReadsEndOnlyByAbort) {
  auto in = Bound(0x83);
  auto out = Bound(0x03);
  dev.SetSilent(true);
  Send(dev, 3, "never");
  TestTransfer r(0x83, 64);
  TestTransfer w(0x03, "cmd");
  in->Submit(&r);
  out->Submit(&w);
  EXPECT_FALSE(r.Wait(kQuietMs));
  EXPECT_EQ(0, w.calls());
  in->AbortEndpoint();
  out->AbortEndpoint();
  ASSERT_TRUE(r.Wait());
  ASSERT_TRUE(w.Wait());
  EXPECT_EQ(sim::kStatusAborted, r.status());
  EXPECT_EQ(sim::kStatusAborted, w.status());
  EXPECT_EQ(0u, r.actual());
  EXPECT_EQ(1u, dev.InQueued(3));  // the data was withheld, not lost
  EXPECT_TRUE(dev.Writes(3).empty());
}

TEST_F(SimDeviceFaults, StalledWritesGoThroughInOrderWhenReleased) {
  auto f = std::make_shared<RecorderFunction>();
  dev.SetFunction(7, f);
  auto out = Bound(0x07);
  dev.StallWrites(7, true);
  TestTransfer w1(0x07, "a"), w2(0x07, "b");
  out->Submit(&w1);
  out->Submit(&w2);
  EXPECT_FALSE(w1.Wait(kQuietMs));
  EXPECT_EQ(2u, dev.WritesPending(7));
  dev.StallWrites(7, false);
  ASSERT_TRUE(w1.Wait() && w2.Wait());
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), f->writes());
}

// --- Abort and cancel -----------------------------------------------------

TEST_F(SimDeviceFaults, AbortEndsEveryPendingTransferOfTheSessionOnce) {
  auto a = Bound(0x83);
  auto b = Bound(0x83);
  TestTransfer ra1(0x83, 64), ra2(0x83, 64), rb(0x83, 64);
  a->Submit(&ra1);
  b->Submit(&rb);
  a->Submit(&ra2);
  a->AbortEndpoint();
  ASSERT_TRUE(ra1.Wait() && ra2.Wait());
  EXPECT_EQ(sim::kStatusAborted, ra1.status());
  EXPECT_EQ(sim::kStatusAborted, ra2.status());
  // The other session's read is still pending and gets the data.
  EXPECT_EQ(0, rb.calls());
  Send(dev, 3, "b");
  ASSERT_TRUE(rb.Wait());
  EXPECT_EQ("b", rb.text());
  a->AbortEndpoint();  // nothing pending: still fine
  EXPECT_EQ(1, ra1.calls());
  EXPECT_EQ(1, ra2.calls());
  EXPECT_EQ(1, rb.calls());
  EXPECT_EQ(1u, dev.ReadsCompleted(3));
}

TEST_F(SimDeviceFaults, CancelWithdrawsOneTransferAndIgnoresCompletedOnes) {
  auto s = Bound(0x83);
  TestTransfer r1(0x83, 64), r2(0x83, 64);
  s->Submit(&r1);
  s->Submit(&r2);
  s->Cancel(&r2);
  ASSERT_TRUE(r2.Wait());
  EXPECT_EQ(sim::kStatusAborted, r2.status());
  EXPECT_EQ(0, r1.calls());
  Send(dev, 3, "one");
  ASSERT_TRUE(r1.Wait());
  EXPECT_EQ("one", r1.text());
  s->Cancel(&r1);
  s->Cancel(&r2);
  EXPECT_EQ(1, r1.calls());
  EXPECT_EQ(1, r2.calls());
  EXPECT_EQ(0u, r1.status());
}

TEST_F(SimDeviceFaults, CancelOnAnotherSessionLeavesTheTransferAlone) {
  auto a = Bound(0x83);
  auto b = Bound(0x83);
  TestTransfer r(0x83, 64);
  a->Submit(&r);
  b->Cancel(&r);
  EXPECT_EQ(0, r.calls());
  a->Cancel(&r);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(sim::kStatusAborted, r.status());
}

TEST_F(SimDeviceFaults, SessionsOutliveTheirDevice) {
  auto dead = std::make_unique<sim::Device>(sim::kDefaultVendor, sim::kDefaultProduct, 1);
  auto s = dead->Open();
  ASSERT_EQ(0u, s->BindEndpoint(0x83));
  TestTransfer r(0x83, 64);
  s->Submit(&r);
  dead.reset();
  EXPECT_EQ(sim::kDriverInterfaceVersion, s->InterfaceVersion());
  s->AbortEndpoint();
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(sim::kStatusAborted, r.status());
}

}  // namespace
