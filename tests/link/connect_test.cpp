// The search for the handset among the driver's instances.
#include <string.h>

#include <string>

#include "link_test_util.h"

namespace {

enum class Fault {
  kNone,
  kUnopenable,
  kOtherVersion,
  kDescriptor,
  kGetConfiguration,
  kSetConfiguration,
  kBindIn,
  kBindOut,
};

struct Candidate {
  uint16_t vendor;
  uint16_t product;
  Fault fault;
  int sessionsOpened;  // handles the search opened on it
};

const uint16_t kV = 0xADDE;  // the first table entry
const uint16_t kP = 0xEFBE;

Candidate Handset(int sessions, Fault fault = Fault::kNone) { return {kV, kP, fault, sessions}; }
Candidate Foreign(int sessions) { return {0x1234, 0x5678, Fault::kNone, sessions}; }

struct DiscoveryCase {
  const char* name;
  std::vector<Candidate> candidates;
  int attached;  // position of the attached instance, -1 for none
};

class DiscoveryTest : public LinkTest, public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(DiscoveryTest, AttachesTheFirstUsableHandset) {
  const DiscoveryCase& c = GetParam();
  for (const Candidate& candidate : c.candidates) {
    auto device = AddDevice(candidate.vendor, candidate.product, 0);
    switch (candidate.fault) {
      case Fault::kNone:
        break;
      case Fault::kUnopenable:
        device->SetOpenable(false);
        break;
      case Fault::kOtherVersion:
        device->SetInterfaceVersion(0x0201);
        break;
      case Fault::kDescriptor:
        device->FailDescriptor(0xE0001000);
        break;
      case Fault::kGetConfiguration:
        device->FailGetConfiguration(0xE0001000);
        break;
      case Fault::kSetConfiguration:
        device->FailSetConfiguration(0xE0001000);
        break;
      case Fault::kBindIn:
        device->FailBind(0x83, 0xE0001000);
        break;
      case Fault::kBindOut:
        device->FailBind(0x03, 0xE0001000);
        break;
    }
  }

  RecordingCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  EXPECT_EQ(c.attached >= 0, link->Connect(3));
  for (size_t i = 0; i < devices.size(); i++) {
    EXPECT_EQ(c.candidates[i].sessionsOpened, devices[i]->SessionsOpened()) << "candidate " << i;
    bool attached = static_cast<int>(i) == c.attached;
    EXPECT_EQ(attached ? 2 : 0, devices[i]->OpenSessions()) << "candidate " << i;
    if (attached) {
      EXPECT_EQ((std::vector<uint8_t>{0x83, 0x03}), Binds(*devices[i]));
    }
  }
  EXPECT_EQ(0, posixplat::OpenDeviceInfoListCount()) << "the interface list is freed";
  delete link;
  EXPECT_EQ(0, posixplat::OpenDriverHandleCount());
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DiscoveryTest,
    ::testing::Values(
        DiscoveryCase{"NoInstance", {}, -1}, DiscoveryCase{"OneHandset", {Handset(3)}, 0},
        DiscoveryCase{"ForeignThenHandset", {Foreign(1), Handset(3)}, 1},
        DiscoveryCase{"TwoHandsetsTheFirstWins", {Handset(3), Handset(0)}, 0},
        DiscoveryCase{"UnopenableEndsTheSearch", {Handset(0, Fault::kUnopenable), Handset(0)}, -1},
        DiscoveryCase{
            "ForeignThenUnopenable", {Foreign(1), Handset(0, Fault::kUnopenable), Handset(0)}, -1},
        DiscoveryCase{
            "OtherVersionEndsTheSearch", {Handset(1, Fault::kOtherVersion), Handset(0)}, -1},
        DiscoveryCase{
            "DescriptorFailureEndsTheSearch", {Handset(1, Fault::kDescriptor), Handset(0)}, -1},
        DiscoveryCase{"ConfigurationQueryFailureSkips",
                      {Handset(1, Fault::kGetConfiguration), Handset(3)},
                      1},
        DiscoveryCase{
            "SetConfigurationFailureSkips", {Handset(1, Fault::kSetConfiguration), Handset(3)}, 1},
        DiscoveryCase{
            "InBindFailureSkipsAndClosesTheReader", {Handset(2, Fault::kBindIn), Handset(3)}, 1},
        DiscoveryCase{
            "OutBindFailureSkipsAndClosesBoth", {Handset(3, Fault::kBindOut), Handset(3)}, 1},
        DiscoveryCase{"OnlyForeign", {Foreign(1), Foreign(1)}, -1},
        DiscoveryCase{"SecondTableEntry", {{0xB4E9, 0x0001, Fault::kNone, 3}}, 0},
        DiscoveryCase{"ThirdTableEntry", {{0xB4E9, 0x0002, Fault::kNone, 3}}, 0},
        DiscoveryCase{"FourthTableEntry", {{0xB4E9, 0x0004, Fault::kNone, 3}}, 0},
        DiscoveryCase{"NearMisses",
                      {{0xADDE, 0x0001, Fault::kNone, 1},
                       {0xB4E9, 0x0003, Fault::kNone, 1},
                       {0xDEAD, 0xBEEF, Fault::kNone, 1},
                       {0xB4E9, 0xEFBE, Fault::kNone, 1},
                       Handset(3)},
                      4}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& info) { return info.param.name; });

TEST_F(LinkTest, SetupApiMissingFindsNothing) {
  auto handset = AddDevice();
  posixplat::SetSetupApiAvailable(false);
  RecordingCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  EXPECT_FALSE(link->Connect(3));
  EXPECT_EQ(0, handset->SessionsOpened());
  EXPECT_EQ(0, posixplat::SetupApiLoadCount());
  delete link;
}

TEST_F(LinkTest, EndpointNumberGivesBothAddresses) {
  auto handset = AddDevice();
  RecordingCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  // Only the low 8 bits count.
  ASSERT_TRUE(link->Connect(0x107));
  EXPECT_EQ((std::vector<uint8_t>{0x87, 0x07}), Binds(*handset));
  delete link;
}

// A handset already configured keeps its configuration; an unconfigured
// one gets exactly one request for the first configuration.
class ConfigurationTest : public LinkTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(ConfigurationTest, RequestedOnlyWhenUnconfigured) {
  auto handset = AddDevice(kV, kP, GetParam());
  RecordingCallback callback;
  CUsbHandler* link = new CUsbHandler(&callback);
  ASSERT_TRUE(link->Connect(3));
  auto requests = handset->SetConfigurationRequests();
  if (GetParam() != 0) {
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(GetParam(), handset->ConfigurationValue());
  } else {
    ASSERT_EQ(1u, requests.size());
    std::vector<uint8_t> expected(260, 0);
    expected[2] = 1;     // one interface entry
    expected[9] = 0x10;  // maximum transfer size 4096, little-endian
    EXPECT_EQ(expected, requests[0]);
  }
  delete link;
}

INSTANTIATE_TEST_SUITE_P(Values, ConfigurationTest, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<ConfigurationTest::ParamType>& info) {
                           return "ConfigurationValue" + std::to_string(info.param);
                         });

}  // namespace
