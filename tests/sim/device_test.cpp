// The simulated handset as the driver stand-in sees it: identity,
// configuration, binding, and the data path of a healthy device.
#include <gtest/gtest.h>

#include <chrono>
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

std::vector<uint8_t> ReadDescriptor(usbdrv::Session& s, uint8_t type, uint32_t room,
                                    uint32_t* status) {
  std::vector<uint8_t> out(room, 0xCC);
  uint32_t length = room;
  *status = s.GetDescriptor({0, type, 0, 0}, out.data(), &length);
  out.resize(length);
  return out;
}

TEST(SimDeviceIdentity, DeviceDescriptorCarriesTheDefaultIds) {
  sim::Device dev;
  auto s = dev.Open();
  ASSERT_TRUE(s);
  uint32_t status = 1;
  std::vector<uint8_t> d = ReadDescriptor(*s, 1, 64, &status);
  ASSERT_EQ(0u, status);
  ASSERT_EQ(18u, d.size());
  EXPECT_EQ(18, d[0]);  // bLength
  EXPECT_EQ(1, d[1]);   // device descriptor
  EXPECT_EQ(64, d[7]);  // bMaxPacketSize0
  EXPECT_EQ(0xDE, d[8]);
  EXPECT_EQ(0xAD, d[9]);
  EXPECT_EQ(0xBE, d[10]);
  EXPECT_EQ(0xEF, d[11]);
  EXPECT_EQ(1, d[17]);  // one configuration
}

TEST(SimDeviceIdentity, DescriptorIsCutToTheRoomGiven) {
  sim::Device dev;
  auto s = dev.Open();
  uint32_t status = 1;
  std::vector<uint8_t> d = ReadDescriptor(*s, 1, 8, &status);
  EXPECT_EQ(0u, status);
  EXPECT_EQ(8u, d.size());
  EXPECT_EQ(18, d[0]);
}

TEST(SimDeviceIdentity, SetIdsChangesVendorAndProductFields) {
  sim::Device dev(0xB4E9, 0x0004);
  auto s = dev.Open();
  uint32_t status = 1;
  std::vector<uint8_t> d = ReadDescriptor(*s, 1, 18, &status);
  ASSERT_EQ(18u, d.size());
  EXPECT_EQ((std::vector<uint8_t>{0xE9, 0xB4, 0x04, 0x00}),
            std::vector<uint8_t>(d.begin() + 8, d.begin() + 12));
  dev.SetIds(0x1234, 0x5678);
  d = ReadDescriptor(*s, 1, 18, &status);
  ASSERT_EQ(18u, d.size());
  EXPECT_EQ((std::vector<uint8_t>{0x34, 0x12, 0x78, 0x56}),
            std::vector<uint8_t>(d.begin() + 8, d.begin() + 12));
}

TEST(SimDeviceIdentity, ReplacedDescriptorIsDeliveredAsGiven) {
  sim::Device dev;
  dev.SetDeviceDescriptor({18, 1, 0x10, 0x01});
  auto s = dev.Open();
  uint32_t status = 1;
  std::vector<uint8_t> d = ReadDescriptor(*s, 1, 18, &status);
  EXPECT_EQ(0u, status);
  EXPECT_EQ((std::vector<uint8_t>{18, 1, 0x10, 0x01}), d);
}

TEST(SimDeviceIdentity, ConfigurationDescriptorListsTheFourBulkEndpoints) {
  sim::Device dev;
  auto s = dev.Open();
  uint32_t status = 1;
  std::vector<uint8_t> d = ReadDescriptor(*s, 2, 255, &status);
  ASSERT_EQ(0u, status);
  ASSERT_EQ(46u, d.size());
  EXPECT_EQ(46, d[2] | (d[3] << 8));  // wTotalLength
  EXPECT_EQ(1, d[5]);                 // bConfigurationValue
  std::vector<uint8_t> addresses;
  for (size_t i = 18; i + 7 <= d.size(); i += 7) {
    EXPECT_EQ(5, d[i + 1]);
    EXPECT_EQ(2, d[i + 3]);  // bulk
    addresses.push_back(d[i + 2]);
  }
  EXPECT_EQ((std::vector<uint8_t>{0x03, 0x83, 0x07, 0x87}), addresses);
}

TEST(SimDeviceIdentity, UnknownDescriptorRequestsFail) {
  sim::Device dev;
  auto s = dev.Open();
  struct Case {
    uint32_t recipient;
    uint8_t type;
    uint8_t index;
  } cases[] = {{0, 3, 0}, {0, 1, 1}, {1, 1, 0}, {0, 0x21, 0}};
  for (const Case& c : cases) {
    uint8_t out[18];
    uint32_t length = sizeof(out);
    EXPECT_NE(0u, s->GetDescriptor({c.recipient, c.type, c.index, 0}, out, &length))
        << "type " << int(c.type) << " index " << int(c.index);
    EXPECT_EQ(0u, length);
  }
}

TEST(SimDeviceIdentity, DeclaresItsInterfaceVersion) {
  sim::Device dev;
  auto s = dev.Open();
  EXPECT_EQ(0x0200, s->InterfaceVersion());
  dev.SetInterfaceVersion(0x0201);
  EXPECT_EQ(0x0201, s->InterfaceVersion());
}

TEST(SimDeviceSessions, OpenCountsSessionsAndClosingReleasesThem) {
  sim::Device dev;
  auto a = dev.Open();
  auto b = dev.Open();
  auto c = dev.Open();
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(3, dev.OpenSessions());
  b.reset();
  EXPECT_EQ(2, dev.OpenSessions());
  EXPECT_EQ(3, dev.SessionsOpened());
  dev.SetOpenable(false);
  EXPECT_EQ(nullptr, dev.Open());
  EXPECT_EQ(2, dev.OpenSessions());
  dev.SetOpenable(true);
  EXPECT_NE(nullptr, dev.Open());
}

// --- Configuration --------------------------------------------------------

TEST(SimDeviceConfiguration, UnconfiguredUntilSetAndEveryRequestIsRecorded) {
  sim::Device dev;
  auto s = dev.Open();
  uint8_t value = 0xAA;
  ASSERT_EQ(0u, s->GetConfiguration(&value));
  EXPECT_EQ(0, value);
  EXPECT_TRUE(dev.SetConfigurationRequests().empty());

  std::vector<uint8_t> record = ConfigRecord();
  ASSERT_EQ(0u, SetConfiguration(*s, record));
  ASSERT_EQ(0u, s->GetConfiguration(&value));
  EXPECT_EQ(1, value);
  EXPECT_EQ(1, dev.ConfigurationValue());
  ASSERT_EQ(1u, dev.SetConfigurationRequests().size());
  EXPECT_EQ(record, dev.SetConfigurationRequests()[0]);
}

TEST(SimDeviceConfiguration, ConfiguredDeviceReportsItsValue) {
  sim::Device dev(sim::kDefaultVendor, sim::kDefaultProduct, 1);
  auto s = dev.Open();
  uint8_t value = 0;
  ASSERT_EQ(0u, s->GetConfiguration(&value));
  EXPECT_EQ(1, value);
}

TEST(SimDeviceConfiguration, MalformedRecordsAreRefusedAndLeaveItUnconfigured) {
  struct Case {
    const char* what;
    size_t at;
    uint8_t value;
    uint32_t length;
  } cases[] = {
      {"second configuration", 0, 1, 260},
      {"no interface entry", 2, 0, 260}, {"two interface entries", 2, 2, 260},
      {"interface 1", 4, 1, 260},        {"alternate setting 1", 6, 1, 260},
      {"zero transfer size", 9, 0, 260},
  };
  for (const Case& c : cases) {
    sim::Device dev;
    auto s = dev.Open();
    std::vector<uint8_t> record = ConfigRecord();
    record[c.at] = c.value;
    EXPECT_EQ(sim::kStatusInvalidParameter, SetConfiguration(*s, record)) << c.what;
    EXPECT_EQ(0, dev.ConfigurationValue()) << c.what;
    EXPECT_EQ(1u, dev.SetConfigurationRequests().size()) << c.what;
  }
}

TEST(SimDeviceConfiguration, ControlLogNamesSessionRequestAndStatus) {
  sim::Device dev(sim::kDefaultVendor, sim::kDefaultProduct, 1);
  auto a = dev.Open();
  auto b = dev.Open();
  uint8_t value = 0;
  a->GetConfiguration(&value);
  uint8_t d[18];
  uint32_t length = 18;
  b->GetDescriptor({0, 1, 0, 0x0409}, d, &length);
  b->BindEndpoint(0x42);
  std::vector<sim::ControlRecord> log = dev.Controls();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ(1, log[0].session);
  EXPECT_EQ(sim::Request::kGetConfiguration, log[0].request);
  EXPECT_EQ(2, log[1].session);
  EXPECT_EQ(sim::Request::kGetDescriptor, log[1].request);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0x09, 0x04}), log[1].input);
  EXPECT_EQ(sim::Request::kBindEndpoint, log[2].request);
  EXPECT_EQ((std::vector<uint8_t>{0x42}), log[2].input);
  EXPECT_EQ(sim::kStatusInvalidParameter, log[2].status);
  dev.ClearLogs();
  EXPECT_TRUE(dev.Controls().empty());
  dev.SetRecording(false);
  a->GetConfiguration(&value);
  EXPECT_TRUE(dev.Controls().empty());
}

// --- Binding --------------------------------------------------------------

TEST(SimDeviceBind, OnlyTheFourBulkAddressesBind) {
  struct Case {
    uint8_t address;
    uint32_t status;
  } cases[] = {{0x03, 0},
               {0x83, 0},
               {0x07, 0},
               {0x87, 0},
               {0x00, sim::kStatusInvalidParameter},
               {0x80, sim::kStatusInvalidParameter},
               {0x01, sim::kStatusInvalidParameter},
               {0x04, sim::kStatusInvalidParameter},
               {0x84, sim::kStatusInvalidParameter},
               {0x08, sim::kStatusInvalidParameter},
               {0x13, sim::kStatusInvalidParameter}};
  sim::Device dev(sim::kDefaultVendor, sim::kDefaultProduct, 1);
  for (const Case& c : cases) {
    auto s = dev.Open();
    EXPECT_EQ(c.status, s->BindEndpoint(c.address)) << std::hex << int(c.address);
  }
}

TEST(SimDeviceBind, SessionBindsOnceAndOnlyWhenConfigured) {
  sim::Device dev;
  auto s = dev.Open();
  EXPECT_EQ(sim::kStatusFailed, s->BindEndpoint(0x83));
  dev.SetConfigurationValue(1);
  EXPECT_EQ(0u, s->BindEndpoint(0x83));
  EXPECT_EQ(sim::kStatusFailed, s->BindEndpoint(0x83));
  EXPECT_EQ(sim::kStatusFailed, s->BindEndpoint(0x03));
  // Another session may bind the same endpoint.
  auto t = dev.Open();
  EXPECT_EQ(0u, t->BindEndpoint(0x83));
}

TEST(SimDeviceBind, UnboundSessionHasNoDataPath) {
  sim::Device dev(sim::kDefaultVendor, sim::kDefaultProduct, 1);
  auto s = dev.Open();
  TestTransfer read(0x83, 16);
  s->Submit(&read);
  ASSERT_TRUE(read.Wait());
  EXPECT_EQ(sim::kStatusFailed, read.status());
  EXPECT_EQ(0u, read.actual());
  s->AbortEndpoint();
  EXPECT_EQ(sim::kStatusFailed, dev.Controls().back().status);
  // A transfer for another endpoint than the bound one is refused.
  ASSERT_EQ(0u, s->BindEndpoint(0x83));
  TestTransfer wrong(0x87, 16);
  s->Submit(&wrong);
  ASSERT_TRUE(wrong.Wait());
  EXPECT_EQ(sim::kStatusInvalidParameter, wrong.status());
  EXPECT_EQ(1, wrong.calls());
}

// --- IN delivery ----------------------------------------------------------

class SimDeviceData : public ::testing::Test {
 protected:
  SimDeviceData() : dev(sim::kDefaultVendor, sim::kDefaultProduct, 1) {}

  std::unique_ptr<usbdrv::Session> Bound(uint8_t address) { return simtest::Bound(dev, address); }

  sim::Device dev;
};

TEST_F(SimDeviceData, EachInTransferCompletesOneReadInOrderNeverMerged) {
  auto s = Bound(0x83);
  Send(dev, 3, "ab");
  Send(dev, 3, "cd");
  Send(dev, 3, "efgh");
  TestTransfer r1(0x83, 64), r2(0x83, 64), r3(0x83, 64);
  s->Submit(&r1);
  s->Submit(&r2);
  s->Submit(&r3);
  ASSERT_TRUE(r1.Wait());
  ASSERT_TRUE(r2.Wait());
  ASSERT_TRUE(r3.Wait());
  EXPECT_EQ("ab", r1.text());
  EXPECT_EQ("cd", r2.text());
  EXPECT_EQ("efgh", r3.text());
  EXPECT_EQ(0u, r1.status());
  EXPECT_EQ(0xCC, r1.byteAt(2));  // nothing written past the transfer
  EXPECT_EQ(3u, dev.ReadsCompleted(3));
  EXPECT_EQ(0u, dev.InQueued(3));
}

TEST_F(SimDeviceData, TransferLongerThanTheReadIsCutAndTheRestDropped) {
  auto s = Bound(0x83);
  Send(dev, 3, "0123456789");
  Send(dev, 3, "next");
  TestTransfer r1(0x83, 4), r2(0x83, 64);
  s->Submit(&r1);
  s->Submit(&r2);
  ASSERT_TRUE(r1.Wait());
  ASSERT_TRUE(r2.Wait());
  EXPECT_EQ(0u, r1.status());
  EXPECT_EQ(4u, r1.actual());
  EXPECT_EQ("0123", r1.text());
  EXPECT_EQ("next", r2.text());
}

TEST_F(SimDeviceData, ReadsWaitForDataSentLaterAndZeroLengthTransfersArrive) {
  auto s = Bound(0x87);
  TestTransfer r1(0x87, 64), r2(0x87, 64);
  s->Submit(&r1);
  s->Submit(&r2);
  ASSERT_TRUE(dev.WaitUntil([&] { return dev.ReadsPending(7) == 2; }, simtest::kWaitMs));
  EXPECT_EQ(0, r1.calls());
  Send(dev, 7, "");
  Send(dev, 7, "#1");
  ASSERT_TRUE(r1.Wait());
  ASSERT_TRUE(r2.Wait());
  EXPECT_EQ(0u, r1.status());
  EXPECT_EQ(0u, r1.actual());
  EXPECT_EQ("#1", r2.text());
}

TEST_F(SimDeviceData, EndpointPairsAreSeparate) {
  auto s3 = Bound(0x83);
  auto s7 = Bound(0x87);
  TestTransfer r3(0x83, 64), r7(0x87, 64);
  s3->Submit(&r3);
  s7->Submit(&r7);
  Send(dev, 7, "seven");
  ASSERT_TRUE(r7.Wait());
  EXPECT_EQ("seven", r7.text());
  EXPECT_EQ(0, r3.calls());
  Send(dev, 3, "three");
  ASSERT_TRUE(r3.Wait());
  EXPECT_EQ("three", r3.text());
}

TEST_F(SimDeviceData, NoTransferBeforeItsDueTimeNorBeforeAnEarlierOne) {
  auto s = Bound(0x83);
  TestTransfer r1(0x83, 64), r2(0x83, 64);
  s->Submit(&r1);
  s->Submit(&r2);
  const auto sent = std::chrono::steady_clock::now();
  Send(dev, 3, "late", 300);
  Send(dev, 3, "now", 0);
  ASSERT_TRUE(r1.Wait());
  ASSERT_TRUE(r2.Wait());
  EXPECT_EQ("late", r1.text());
  EXPECT_EQ("now", r2.text());
  EXPECT_GE(r1.done() - sent, std::chrono::milliseconds(300));
  EXPECT_GE(r2.done(), r1.done());
}

TEST_F(SimDeviceData, ReadsOfSeveralSessionsAreServedInSubmissionOrder) {
  auto a = Bound(0x83);
  auto b = Bound(0x83);
  TestTransfer r1(0x83, 64), r2(0x83, 64), r3(0x83, 64);
  b->Submit(&r1);
  a->Submit(&r2);
  b->Submit(&r3);
  Send(dev, 3, "1");
  Send(dev, 3, "2");
  Send(dev, 3, "3");
  ASSERT_TRUE(r1.Wait() && r2.Wait() && r3.Wait());
  EXPECT_EQ("1", r1.text());
  EXPECT_EQ("2", r2.text());
  EXPECT_EQ("3", r3.text());
}

TEST_F(SimDeviceData, ClearInDropsUndeliveredTransfers) {
  auto s = Bound(0x83);
  Send(dev, 3, "stale");
  EXPECT_EQ(1u, dev.InQueued(3));
  dev.ClearIn(3);
  EXPECT_EQ(0u, dev.InQueued(3));
  TestTransfer r(0x83, 64);
  s->Submit(&r);
  Send(dev, 3, "fresh");
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ("fresh", r.text());
}

// --- OUT to the function --------------------------------------------------

TEST_F(SimDeviceData, WritesReachTheFunctionInOrderAndItsAnswerReachesReads) {
  auto echo = std::make_shared<RecorderFunction>([](const std::string& bytes, sim::InPipe& in) {
    in.Send(bytes.data(), bytes.size());
    return sim::WriteResult{0, static_cast<uint32_t>(bytes.size())};
  });
  dev.SetFunction(3, echo);
  auto in = Bound(0x83);
  auto out = Bound(0x03);
  TestTransfer r1(0x83, 64), r2(0x83, 64);
  in->Submit(&r1);
  in->Submit(&r2);
  TestTransfer w1(0x03, "hello"), w2(0x03, "world!");
  out->Submit(&w1);
  out->Submit(&w2);
  ASSERT_TRUE(w1.Wait() && w2.Wait());
  EXPECT_EQ(0u, w1.status());
  EXPECT_EQ(5u, w1.actual());
  EXPECT_EQ(6u, w2.actual());
  ASSERT_TRUE(r1.Wait() && r2.Wait());
  EXPECT_EQ("hello", r1.text());
  EXPECT_EQ("world!", r2.text());
  EXPECT_EQ((std::vector<std::string>{"hello", "world!"}), echo->writes());

  std::vector<sim::WriteRecord> log = dev.Writes(3);
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}), log[0].data);
  EXPECT_EQ(5u, log[0].actual);
  EXPECT_EQ(2, log[0].session);  // the writer was the second session opened
  std::vector<uint8_t> joined = dev.WrittenBytes(3);
  EXPECT_EQ("helloworld!", std::string(joined.begin(), joined.end()));
  EXPECT_TRUE(dev.Writes(7).empty());
}

TEST_F(SimDeviceData, WriteCompletesAsTheFunctionSays) {
  struct Case {
    sim::WriteResult result;
    uint32_t status;
    uint32_t actual;
  } cases[] = {
      {{0, 3}, 0, 3},                    // fewer bytes moved
      {{0xE0001000, 0}, 0xE0001000, 0},  // failed write
      {{0, 100}, 0, 8},                  // never more than written
      {{sim::kStatusPoweredDown, 2}, sim::kStatusPoweredDown, 2},
  };
  sim::WriteResult answer;
  auto f = std::make_shared<RecorderFunction>(
      [&answer](const std::string&, sim::InPipe&) { return answer; });
  dev.SetFunction(7, f);
  auto out = Bound(0x07);
  for (const Case& c : cases) {
    answer = c.result;
    TestTransfer w(0x07, "12345678");
    out->Submit(&w);
    ASSERT_TRUE(w.Wait());
    EXPECT_EQ(c.status, w.status());
    EXPECT_EQ(c.actual, w.actual());
    EXPECT_EQ(1, w.calls());
  }
  EXPECT_EQ(4u, f->writes().size());
}

TEST_F(SimDeviceData, WithoutAFunctionWritesSucceedWhole) {
  auto out = Bound(0x03);
  TestTransfer w(0x03, "abc");
  out->Submit(&w);
  ASSERT_TRUE(w.Wait());
  EXPECT_EQ(0u, w.status());
  EXPECT_EQ(3u, w.actual());
  ASSERT_EQ(1u, dev.Writes(3).size());
}

}  // namespace
