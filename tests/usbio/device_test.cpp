#include <string.h>

#include <functional>
#include <string>

#include "usbio_test_util.h"

namespace {

using DeviceTest = UsbIoTest;

// Every control request of a closed object fails without touching the driver.
struct ClosedRequestCase {
  const char* name;
  std::function<DWORD(CUsbIoDevice&)> request;
};

class ClosedRequestTest : public UsbIoTest,
                          public ::testing::WithParamInterface<ClosedRequestCase> {};

TEST_P(ClosedRequestTest, FailsWithNotOpen) {
  CUsbIoDevice device;
  EXPECT_EQ(USBIO_STATUS_NOT_OPEN, GetParam().request(device));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ClosedRequestTest,
    ::testing::Values(ClosedRequestCase{"DriverInfo",
                                        [](CUsbIoDevice& d) {
                                          USBIO_DRIVER_INFO info;
                                          return d.QueryDriverInfo(&info);
                                        }},
                      ClosedRequestCase{"DeviceDescriptor",
                                        [](CUsbIoDevice& d) {
                                          USBIO_DEVICE_DESCRIPTOR descriptor;
                                          return d.ReadDeviceDescriptor(&descriptor);
                                        }},
                      ClosedRequestCase{"Configuration",
                                        [](CUsbIoDevice& d) {
                                          BYTE value = 0x55;
                                          DWORD status = d.QueryConfigurationValue(&value);
                                          EXPECT_EQ(0, value)
                                              << "the local byte is copied whatever the status";
                                          return status;
                                        }},
                      ClosedRequestCase{"SetConfiguration",
                                        [](CUsbIoDevice& d) {
                                          USBIO_SET_CONFIGURATION request;
                                          memset(&request, 0, sizeof(request));
                                          return d.ApplyConfiguration(&request);
                                        }},
                      ClosedRequestCase{"IoctlKeepsBytesReturned",
                                        [](CUsbIoDevice& d) {
                                          DWORD returned = 0x5A5A;
                                          BYTE out[12];
                                          DWORD status =
                                              d.IoctlRequestSync(USBIO_REQUEST_DRIVER_INFO, nullptr,
                                                                 0, out, sizeof(out), &returned);
                                          EXPECT_EQ(0x5A5Au, returned);
                                          return status;
                                        }}),
    [](const ::testing::TestParamInfo<ClosedRequestCase>& info) { return info.param.name; });

TEST_F(DeviceTest, OpensTheInstanceAtTheIndexAndKeepsItWhenAskedAgain) {
  auto first = AddDevice();
  auto second = AddDevice();
  HDEVINFO list = List();
  ASSERT_NE(nullptr, list);

  Probe<CUsbIoDevice> device;
  ASSERT_EQ(0u, device.OpenInstance(1, list, Class()));
  EXPECT_NE(nullptr, device.deviceHandle);
  EXPECT_NE(nullptr, device.requestOverlapped.hEvent);
  EXPECT_EQ(posixplat::DevicePath(InstanceId(1)), device.CachedDevicePath());
  EXPECT_EQ(1, second->OpenSessions());

  HANDLE handle = device.deviceHandle;
  EXPECT_EQ(0u, device.OpenInstance(0, list, Class()));
  EXPECT_EQ(handle, device.deviceHandle);
  EXPECT_EQ(0, first->SessionsOpened());
  EXPECT_EQ(1, second->SessionsOpened());

  device.CloseInstance();
  EXPECT_EQ(nullptr, device.deviceHandle);
  EXPECT_EQ(nullptr, device.requestOverlapped.hEvent);
  EXPECT_EQ(nullptr, device.CachedDevicePath());
  EXPECT_EQ(0, second->OpenSessions());
  device.CloseInstance();
  EXPECT_EQ(0, posixplat::OpenDriverHandleCount());
}

class InterfaceVersionTest : public UsbIoTest, public ::testing::WithParamInterface<WORD> {};

TEST_P(InterfaceVersionTest, OtherThan0200LeavesTheObjectClosed) {
  auto handset = AddDevice();
  handset->SetInterfaceVersion(GetParam());
  Probe<CUsbIoDevice> device;
  EXPECT_EQ(USBIO_STATUS_VERSION_MISMATCH, device.OpenInstance(0, List(), Class()));
  EXPECT_EQ(nullptr, device.deviceHandle);
  EXPECT_EQ(nullptr, device.requestOverlapped.hEvent);
  EXPECT_EQ(0, handset->OpenSessions());
  EXPECT_EQ(1, handset->SessionsOpened());
  EXPECT_EQ(0, posixplat::OpenDriverHandleCount());
}

INSTANTIATE_TEST_SUITE_P(Versions, InterfaceVersionTest,
                         ::testing::Values(WORD(0x0201), WORD(0x0100), WORD(0x0000), WORD(0x0002)),
                         [](const ::testing::TestParamInfo<WORD>& info) {
                           char name[16];
                           snprintf(name, sizeof name, "Version%04X", info.param);
                           return std::string(name);
                         });

TEST_F(DeviceTest, FailedDriverInformationIsReturnedAndCloses) {
  auto handset = AddDevice();
  posixplat::FailDriverInfo(posixplat::DevicePath(InstanceId(0)), ERROR_GEN_FAILURE);
  Probe<CUsbIoDevice> device;
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), device.OpenInstance(0, List(), Class()));
  EXPECT_EQ(nullptr, device.deviceHandle);
  EXPECT_EQ(0, handset->OpenSessions());
}

TEST_F(DeviceTest, UnopenableInstanceKeepsTheLookedUpPath) {
  auto handset = AddDevice();
  handset->SetOpenable(false);
  Probe<CUsbIoDevice> device;
  EXPECT_EQ(USBIO_STATUS_DEVICE_NOT_FOUND, device.OpenInstance(0, List(), Class()));
  EXPECT_EQ(nullptr, device.deviceHandle);
  EXPECT_EQ(nullptr, device.requestOverlapped.hEvent);
  ASSERT_NE(nullptr, device.CachedDevicePath());
  EXPECT_EQ(posixplat::DevicePath(InstanceId(0)), device.CachedDevicePath());
  device.CloseInstance();
  EXPECT_EQ(nullptr, device.CachedDevicePath());
}

TEST_F(DeviceTest, IndexPastTheEndIsNoSuchInstance) {
  AddDevice();
  CUsbIoDevice device;
  EXPECT_EQ(USBIO_STATUS_NO_SUCH_INSTANCE, device.OpenInstance(1, List(), Class()));
  EXPECT_EQ(nullptr, device.CachedDevicePath());
}

// Requests the driver completes at once and requests it leaves pending give
// the same results.
class ControlCompletionTest : public UsbIoTest,
                              public ::testing::WithParamInterface<posixplat::ControlCompletion> {};

TEST_P(ControlCompletionTest, RequestsDeliverTheDriversAnswer) {
  posixplat::SetControlCompletion(GetParam());
  auto handset = AddDevice(0xB4E9, 0x0002, 0);
  CUsbIoDevice device;
  ASSERT_EQ(0u, device.OpenInstance(0, List(), Class()));

  USBIO_DEVICE_DESCRIPTOR descriptor;
  memset(&descriptor, 0xCC, sizeof(descriptor));
  ASSERT_EQ(0u, device.ReadDeviceDescriptor(&descriptor));
  EXPECT_EQ(18, descriptor.bLength);
  EXPECT_EQ(1, descriptor.bDescriptorType);
  EXPECT_EQ(0xB4E9, descriptor.idVendor);
  EXPECT_EQ(0x0002, descriptor.idProduct);

  BYTE value = 0x55;
  ASSERT_EQ(0u, device.QueryConfigurationValue(&value));
  EXPECT_EQ(0, value);

  USBIO_SET_CONFIGURATION request;
  memset(&request, 0, sizeof(request));
  request.interfaceCount = 1;
  request.interfaces[0].maximumTransferSize = 4096;
  ASSERT_EQ(0u, device.ApplyConfiguration(&request));
  ASSERT_EQ(0u, device.QueryConfigurationValue(&value));
  EXPECT_NE(0, value);

  auto requests = handset->SetConfigurationRequests();
  ASSERT_EQ(1u, requests.size());
  ASSERT_EQ(260u, requests[0].size());
  EXPECT_EQ(0, memcmp(&request, requests[0].data(), 260));

  DWORD returned = 0;
  USBIO_DRIVER_INFO info;
  ASSERT_EQ(0u, device.IoctlRequestSync(USBIO_REQUEST_DRIVER_INFO, nullptr, 0, &info, sizeof(info),
                                        &returned));
  EXPECT_EQ(12u, returned);
  EXPECT_EQ(0x0200, info.interfaceVersion);
}

INSTANTIATE_TEST_SUITE_P(Modes, ControlCompletionTest,
                         ::testing::Values(posixplat::ControlCompletion::kImmediate,
                                           posixplat::ControlCompletion::kPending),
                         [](const ::testing::TestParamInfo<posixplat::ControlCompletion>& info) {
                           return info.param == posixplat::ControlCompletion::kImmediate
                                      ? "Immediate"
                                      : "Pending";
                         });

TEST_F(DeviceTest, DescriptorRequestAsksForTheDeviceDescriptor) {
  auto handset = AddDevice();
  CUsbIoDevice device;
  ASSERT_EQ(0u, device.OpenInstance(0, List(), Class()));
  handset->ClearLogs();
  USBIO_DEVICE_DESCRIPTOR descriptor;
  ASSERT_EQ(0u, device.ReadDeviceDescriptor(&descriptor));
  auto controls = handset->Controls();
  ASSERT_EQ(1u, controls.size());
  EXPECT_EQ(sim::Request::kGetDescriptor, controls[0].request);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0}), controls[0].input);
}

TEST_F(DeviceTest, FetchDescriptorReportsTheDeliveredLength) {
  auto handset = AddDevice();
  handset->SetDeviceDescriptor({18, 1, 0, 2, 0, 0, 0, 64});
  CUsbIoDevice device;
  ASSERT_EQ(0u, device.OpenInstance(0, List(), Class()));
  BYTE buffer[32];
  DWORD length = 18;
  ASSERT_EQ(0u, device.FetchDescriptor(buffer, &length, 0, 1, 0, 0));
  EXPECT_EQ(8u, length);
  EXPECT_EQ(64, buffer[7]);
  USBIO_DEVICE_DESCRIPTOR descriptor;
  EXPECT_EQ(0u, device.ReadDeviceDescriptor(&descriptor)) << "a short descriptor goes unnoticed";
}

TEST_F(DeviceTest, FailingConfigurationRequestStillWritesTheValue) {
  auto handset = AddDevice();
  handset->FailGetConfiguration(0xE0001000);
  CUsbIoDevice device;
  ASSERT_EQ(0u, device.OpenInstance(0, List(), Class()));
  BYTE value = 0x77;
  EXPECT_EQ(0xE0001000u, device.QueryConfigurationValue(&value));
  EXPECT_EQ(0, value);
}

TEST_F(DeviceTest, DestructorReleasesEverything) {
  AddDevice();
  HDEVINFO list = List();
  int handles = posixplat::OpenHandleCount();
  {
    CUsbIoDevice device;
    ASSERT_EQ(0u, device.OpenInstance(0, list, Class()));
    EXPECT_EQ(handles + 2, posixplat::OpenHandleCount()) << "the instance and the event";
  }
  EXPECT_EQ(handles, posixplat::OpenHandleCount());
  EXPECT_EQ(0, posixplat::OpenDriverHandleCount());
}

}  // namespace
