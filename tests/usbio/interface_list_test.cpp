#include <string>

#include "usbio_test_util.h"

namespace {

using InterfaceListTest = UsbIoTest;

// The library, or one of the four entry points, is missing.
class MissingSetupApiTest : public UsbIoTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void MakeMissing() {
    if (GetParam() == "library") {
      posixplat::SetSetupApiAvailable(false);
    } else {
      posixplat::SetSetupApiEntryAvailable(GetParam(), false);
    }
  }
};

TEST_P(MissingSetupApiTest, GivesNoListAndLeavesNothingLoaded) {
  AddDevice();
  MakeMissing();
  EXPECT_EQ(nullptr, CUsbIoDevice::BuildInterfaceList(Class()));
  EXPECT_EQ(nullptr, setupApi.module);
  EXPECT_EQ(nullptr, setupApi.getClassDevs);
  EXPECT_EQ(nullptr, setupApi.getDeviceInterfaceDetail);
  EXPECT_EQ(0, posixplat::SetupApiLoadCount());
  EXPECT_EQ(0, posixplat::OpenDeviceInfoListCount());
  EXPECT_FALSE(setupApi.EnsureLoaded());
  EXPECT_EQ(0, posixplat::SetupApiLoadCount());
}

TEST_P(MissingSetupApiTest, LookupReportsNoSetupApiAndKeepsTheCachedRecord) {
  AddDevice();
  HDEVINFO list = List();
  ASSERT_NE(nullptr, list);
  CUsbIoDevice device;
  ASSERT_EQ(0u, device.LookupInterfacePath(0, list, Class()));
  std::string path = device.CachedDevicePath();

  setupApi.Unload();
  MakeMissing();
  EXPECT_EQ(USBIO_STATUS_NO_SETUP_API, device.LookupInterfacePath(0, list, Class()));
  ASSERT_NE(nullptr, device.CachedDevicePath());
  EXPECT_EQ(path, device.CachedDevicePath());
  EXPECT_EQ(USBIO_STATUS_NO_SETUP_API, device.OpenInstance(0, list, Class()));
}

TEST_P(MissingSetupApiTest, LoadIsTriedAgainOnTheNextUse) {
  MakeMissing();
  EXPECT_FALSE(setupApi.EnsureLoaded());
  posixplat::Reset();
  EXPECT_TRUE(setupApi.EnsureLoaded());
  EXPECT_NE(nullptr, setupApi.module);
  EXPECT_EQ(1, posixplat::SetupApiLoadCount());
}

INSTANTIATE_TEST_SUITE_P(
    Parts, MissingSetupApiTest,
    ::testing::Values("library", "SetupDiGetClassDevsA", "SetupDiDestroyDeviceInfoList",
                      "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA"),
    [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_F(InterfaceListTest, LoadsTheLibraryOnceAndReleasesIt) {
  EXPECT_TRUE(setupApi.EnsureLoaded());
  EXPECT_TRUE(setupApi.EnsureLoaded());
  ASSERT_NE(nullptr, List());
  ASSERT_NE(nullptr, List());
  EXPECT_EQ(1, posixplat::SetupApiLoadCount());
  setupApi.Unload();
  EXPECT_EQ(0, posixplat::SetupApiLoadCount());
  EXPECT_EQ(nullptr, setupApi.module);
  EXPECT_EQ(nullptr, setupApi.enumDeviceInterfaces);
  setupApi.Unload();
  EXPECT_EQ(0, posixplat::SetupApiLoadCount());
}

TEST_F(InterfaceListTest, ClassWithoutInterfacesGivesAnEmptyList) {
  HDEVINFO list = List();
  ASSERT_NE(nullptr, list);
  CUsbIoDevice device;
  EXPECT_EQ(USBIO_STATUS_NO_SUCH_INSTANCE, device.LookupInterfacePath(0, list, Class()));
  EXPECT_EQ(nullptr, device.CachedDevicePath());
  EXPECT_EQ(USBIO_STATUS_NO_SUCH_INSTANCE, device.OpenInstance(0, list, Class()));
}

TEST_F(InterfaceListTest, ListsOnlyTheInterfacesOfTheClass) {
  AddDevice();
  const GUID otherClass = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};
  HDEVINFO list = CUsbIoDevice::BuildInterfaceList(&otherClass);
  ASSERT_NE(nullptr, list);
  CUsbIoDevice device;
  EXPECT_EQ(USBIO_STATUS_NO_SUCH_INSTANCE, device.LookupInterfacePath(0, list, &otherClass));
  CUsbIoDevice::FreeInterfaceList(list);
}

TEST_F(InterfaceListTest, LookupFindsEachPathInListOrder) {
  AddDevice();
  AddDevice(0x1234, 0x5678);
  AddDevice();
  HDEVINFO list = List();
  CUsbIoDevice device;
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(0u, device.LookupInterfacePath(i, list, Class())) << i;
    ASSERT_NE(nullptr, device.CachedDevicePath());
    EXPECT_EQ(posixplat::DevicePath(InstanceId(i)), device.CachedDevicePath()) << i;
  }
  EXPECT_NE(std::string(device.CachedDevicePath()), posixplat::DevicePath(InstanceId(0)));
}

TEST_F(InterfaceListTest, FailedEnumerationLeavesNoRecordCached) {
  AddDevice();
  HDEVINFO list = List();
  CUsbIoDevice device;
  ASSERT_EQ(0u, device.LookupInterfacePath(0, list, Class()));
  EXPECT_EQ(USBIO_STATUS_NO_SUCH_INSTANCE, device.LookupInterfacePath(1, list, Class()));
  EXPECT_EQ(nullptr, device.CachedDevicePath());
}

TEST_F(InterfaceListTest, RejectedArgumentsKeepTheCachedRecord) {
  AddDevice();
  HDEVINFO list = List();
  CUsbIoDevice device;
  ASSERT_EQ(0u, device.LookupInterfacePath(0, list, Class()));
  EXPECT_EQ(USBIO_STATUS_INVALID_PARAMETER, device.LookupInterfacePath(0, nullptr, Class()));
  EXPECT_NE(nullptr, device.CachedDevicePath());
  EXPECT_EQ(USBIO_STATUS_INVALID_PARAMETER, device.LookupInterfacePath(0, list, nullptr));
  ASSERT_NE(nullptr, device.CachedDevicePath());
  EXPECT_EQ(posixplat::DevicePath(InstanceId(0)), device.CachedDevicePath());
}

TEST_F(InterfaceListTest, FreeingNoListStillLoadsTheLibrary) {
  List();
  int lists = posixplat::OpenDeviceInfoListCount();
  setupApi.Unload();
  CUsbIoDevice::FreeInterfaceList(nullptr);
  EXPECT_EQ(lists, posixplat::OpenDeviceInfoListCount());
  EXPECT_NE(nullptr, setupApi.module);
  EXPECT_EQ(1, posixplat::SetupApiLoadCount());
}

TEST_F(InterfaceListTest, FreeReleasesTheList) {
  HDEVINFO list = CUsbIoDevice::BuildInterfaceList(Class());
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(1, posixplat::OpenDeviceInfoListCount());
  CUsbIoDevice::FreeInterfaceList(list);
  EXPECT_EQ(0, posixplat::OpenDeviceInfoListCount());
}

}  // namespace
