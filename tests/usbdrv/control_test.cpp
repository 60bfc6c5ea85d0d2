// The driver's records decoded once, and the control requests of one handle
// as a stand-in serves them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "usbdrv/control.h"

namespace {

// Records what the handler asks of the device.
class RecordingSession : public usbdrv::Session {
 public:
  uint16_t version = usbdrv::kInterfaceVersion;
  std::vector<usbdrv::ConfigurationRequest> configurations;
  std::vector<usbdrv::DescriptorRequest> descriptors;
  std::vector<uint8_t> binds;
  int aborts = 0;
  uint32_t bindStatus = 0;

  uint16_t InterfaceVersion() override { return version; }
  uint32_t GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                         uint32_t* length) override {
    descriptors.push_back(request);
    const uint8_t bytes[3] = {3, 2, 1};
    uint32_t n = *length < 3 ? *length : 3;
    memcpy(out, bytes, n);
    *length = n;
    return 0;
  }
  uint32_t GetConfiguration(uint8_t* value) override {
    *value = 7;
    return 0;
  }
  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest& request) override {
    configurations.push_back(request);
    return 0;
  }
  uint32_t BindEndpoint(uint8_t address) override {
    binds.push_back(address);
    return bindStatus;
  }
  void AbortEndpoint() override { aborts++; }
  void Submit(usbdrv::Transfer*) override {}
  void Cancel(usbdrv::Transfer*) override {}
};

struct ValidationCase {
  std::string name;
  uint32_t code;
  uint32_t inSize;   // 0: no input buffer
  uint32_t outSize;  // 0: no output buffer
  uint32_t expected;
};

class ValidateControlTest : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(ValidateControlTest, RefusesWhatTheDriverRefuses) {
  const ValidationCase& c = GetParam();
  std::vector<uint8_t> in(c.inSize + 1, 0), out(c.outSize + 1, 0);
  EXPECT_EQ(c.expected, usbdrv::ValidateControl(c.code, c.inSize ? in.data() : nullptr, c.inSize,
                                                c.outSize ? out.data() : nullptr, c.outSize));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ValidateControlTest,
    ::testing::Values(
        ValidationCase{"driver_info", USBDRV_REQUEST_DRIVER_INFO, 0, 12, 0},
        ValidationCase{"driver_info_short", USBDRV_REQUEST_DRIVER_INFO, 0, 11,
                       USBDRV_ERROR_INSUFFICIENT_BUFFER},
        ValidationCase{"driver_info_no_output", USBDRV_REQUEST_DRIVER_INFO, 0, 0,
                       USBDRV_ERROR_INVALID_PARAMETER},
        ValidationCase{"descriptor", USBDRV_REQUEST_GET_DESCRIPTOR, 8, 18, 0},
        ValidationCase{"descriptor_short_record", USBDRV_REQUEST_GET_DESCRIPTOR, 7, 18,
                       USBDRV_ERROR_INVALID_PARAMETER},
        ValidationCase{"descriptor_no_room", USBDRV_REQUEST_GET_DESCRIPTOR, 8, 0,
                       USBDRV_ERROR_INVALID_PARAMETER},
        ValidationCase{"get_configuration", USBDRV_REQUEST_GET_CONFIGURATION, 0, 1, 0},
        ValidationCase{"get_configuration_no_output", USBDRV_REQUEST_GET_CONFIGURATION, 0, 0,
                       USBDRV_ERROR_INVALID_PARAMETER},
        ValidationCase{"set_configuration", USBDRV_REQUEST_SET_CONFIGURATION, 260, 0, 0},
        ValidationCase{"set_configuration_short", USBDRV_REQUEST_SET_CONFIGURATION, 259, 0,
                       USBDRV_ERROR_INVALID_PARAMETER},
        ValidationCase{"bind", USBDRV_REQUEST_BIND_ENDPOINT, 1, 0, 0},
        ValidationCase{"bind_no_address", USBDRV_REQUEST_BIND_ENDPOINT, 0, 0,
                       USBDRV_ERROR_INVALID_PARAMETER},
        ValidationCase{"abort", USBDRV_REQUEST_ABORT_ENDPOINT, 0, 0, 0},
        ValidationCase{"unknown_code", 0x80942000u, 0, 0, USBDRV_ERROR_INVALID_FUNCTION}),
    [](const ::testing::TestParamInfo<ValidationCase>& info) { return info.param.name; });

std::vector<uint8_t> Record(uint16_t index, uint16_t count,
                            const std::vector<usbdrv::InterfaceSetting>& entries) {
  std::vector<uint8_t> r(260, 0);
  r[0] = index & 0xFF;
  r[1] = index >> 8;
  r[2] = count & 0xFF;
  r[3] = count >> 8;
  for (size_t i = 0; i < entries.size(); i++) {
    uint8_t* e = &r[4 + 8 * i];
    e[0] = entries[i].interfaceNumber & 0xFF;
    e[1] = entries[i].interfaceNumber >> 8;
    e[2] = entries[i].alternateSetting & 0xFF;
    e[3] = entries[i].alternateSetting >> 8;
    for (int b = 0; b < 4; b++) e[4 + b] = (entries[i].maximumTransferSize >> (8 * b)) & 0xFF;
  }
  return r;
}

TEST(ConfigurationRecord, DecodesTheEntriesUpToItsCount) {
  // The third entry lies beyond the count and is not part of the request.
  const std::vector<uint8_t> record =
      Record(0x0102, 2, {{0, 0, 4096}, {3, 1, 0x01020304}, {9, 9, 9}});
  usbdrv::ConfigurationRequest request;
  ASSERT_TRUE(usbdrv::DecodeConfigurationRecord(record.data(), 260, &request));
  EXPECT_EQ(0x0102, request.configurationIndex);
  ASSERT_EQ(2u, request.interfaces.size());
  EXPECT_EQ(4096u, request.interfaces[0].maximumTransferSize);
  EXPECT_EQ(3, request.interfaces[1].interfaceNumber);
  EXPECT_EQ(1, request.interfaces[1].alternateSetting);
  EXPECT_EQ(0x01020304u, request.interfaces[1].maximumTransferSize);
}

TEST(ConfigurationRecord, EncodingGivesBackTheRecord) {
  const std::vector<uint8_t> record = Record(0, 1, {{0, 0, 4096}});
  usbdrv::ConfigurationRequest request;
  ASSERT_TRUE(usbdrv::DecodeConfigurationRecord(record.data(), 260, &request));
  EXPECT_EQ(record, usbdrv::EncodeConfigurationRecord(request));
}

TEST(ConfigurationRecord, RefusesTooManyEntriesAndShortRecords) {
  usbdrv::ConfigurationRequest request;
  const std::vector<uint8_t> full = Record(0, 32, {});
  EXPECT_TRUE(usbdrv::DecodeConfigurationRecord(full.data(), 260, &request));
  EXPECT_EQ(32u, request.interfaces.size());
  const std::vector<uint8_t> tooMany = Record(0, 33, {});
  EXPECT_FALSE(usbdrv::DecodeConfigurationRecord(tooMany.data(), 260, &request));
  EXPECT_FALSE(usbdrv::DecodeConfigurationRecord(full.data(), 259, &request));
  EXPECT_FALSE(usbdrv::DecodeConfigurationRecord(nullptr, 260, &request));
}

TEST(DescriptorRecord, DecodesLittleEndianFields) {
  const uint8_t record[8] = {0x01, 0x02, 0x03, 0x04, 2, 5, 0x09, 0x04};
  usbdrv::DescriptorRequest request;
  ASSERT_TRUE(usbdrv::DecodeDescriptorRecord(record, 8, &request));
  EXPECT_EQ(0x04030201u, request.recipient);
  EXPECT_EQ(2, request.type);
  EXPECT_EQ(5, request.index);
  EXPECT_EQ(0x0409, request.language);
  EXPECT_FALSE(usbdrv::DecodeDescriptorRecord(record, 7, &request));
}

class ControlHandlerTest : public ::testing::Test {
 protected:
  uint32_t Run(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
               uint32_t* bytes = nullptr) {
    uint32_t count = 0;
    uint32_t status = handler.Execute(code, in, inSize, out, outSize, &count);
    if (bytes != nullptr) *bytes = count;
    return status;
  }
  uint32_t Bind(uint8_t address) { return Run(USBDRV_REQUEST_BIND_ENDPOINT, &address, 1, nullptr, 0); }

  RecordingSession session;
  usbdrv::ControlHandler handler{&session};
};

TEST_F(ControlHandlerTest, AnswersDriverInformationFromTheDeclaredVersion) {
  session.version = 0x0201;
  uint8_t info[12];
  memset(info, 0xEE, sizeof info);
  uint32_t bytes = 0;
  ASSERT_EQ(0u, Run(USBDRV_REQUEST_DRIVER_INFO, nullptr, 0, info, 12, &bytes));
  EXPECT_EQ(12u, bytes);
  EXPECT_EQ(0x01, info[0]);
  EXPECT_EQ(0x02, info[1]);
  EXPECT_EQ(0, info[2]);
}

TEST_F(ControlHandlerTest, HandsTheDeviceTypedRequests) {
  const uint8_t descriptor[8] = {0, 0, 0, 0, 1, 0, 0, 0};
  uint8_t out[18] = {};
  uint32_t bytes = 0;
  ASSERT_EQ(0u, Run(USBDRV_REQUEST_GET_DESCRIPTOR, descriptor, 8, out, 2, &bytes));
  EXPECT_EQ(2u, bytes);
  ASSERT_EQ(1u, session.descriptors.size());
  EXPECT_EQ(1, session.descriptors[0].type);

  const std::vector<uint8_t> record = Record(0, 1, {{0, 0, 4096}});
  ASSERT_EQ(0u, Run(USBDRV_REQUEST_SET_CONFIGURATION, record.data(), 260, nullptr, 0));
  ASSERT_EQ(1u, session.configurations.size());
  EXPECT_EQ(4096u, session.configurations[0].interfaces.at(0).maximumTransferSize);

  uint8_t value = 0;
  ASSERT_EQ(0u, Run(USBDRV_REQUEST_GET_CONFIGURATION, nullptr, 0, &value, 1, &bytes));
  EXPECT_EQ(7, value);
  EXPECT_EQ(1u, bytes);
}

TEST_F(ControlHandlerTest, BindsOnceAndChecksTheDirectionOfTransfers) {
  uint8_t endpoint = 0;
  EXPECT_EQ(USBDRV_ERROR_INVALID_FUNCTION, handler.CheckTransfer(true, &endpoint));
  ASSERT_EQ(0u, Bind(0x83));
  EXPECT_EQ(0u, handler.CheckTransfer(true, &endpoint));
  EXPECT_EQ(0x83, endpoint);
  EXPECT_EQ(USBDRV_ERROR_INVALID_FUNCTION, handler.CheckTransfer(false, &endpoint));
  EXPECT_EQ(USBDRV_STATUS_FAILED, Bind(0x03));
  EXPECT_EQ(1u, session.binds.size());
}

TEST_F(ControlHandlerTest, AFailedBindLeavesTheHandleUnbound) {
  session.bindStatus = USBDRV_STATUS_INVALID_PARAMETER;
  EXPECT_EQ(USBDRV_STATUS_INVALID_PARAMETER, Bind(0x03));
  uint8_t endpoint = 0;
  EXPECT_EQ(USBDRV_ERROR_INVALID_FUNCTION, handler.CheckTransfer(false, &endpoint));
  session.bindStatus = 0;
  EXPECT_EQ(0u, Bind(0x03));
  EXPECT_EQ(0u, handler.CheckTransfer(false, &endpoint));
}

TEST_F(ControlHandlerTest, AbortNeedsABoundHandle) {
  EXPECT_EQ(USBDRV_STATUS_FAILED, Run(USBDRV_REQUEST_ABORT_ENDPOINT, nullptr, 0, nullptr, 0));
  EXPECT_EQ(0, session.aborts);
  ASSERT_EQ(0u, Bind(0x87));
  EXPECT_EQ(0u, Run(USBDRV_REQUEST_ABORT_ENDPOINT, nullptr, 0, nullptr, 0));
  EXPECT_EQ(1, session.aborts);
}

}  // namespace
