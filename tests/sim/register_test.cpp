// Registering simulated handsets with the driver stand-in: they are listed
// under the handset interface class and CreateFileA reaches them.
#include <gtest/gtest.h>
#include <setupapi.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "posixplat/testing.h"
#include "sim/device.h"
#include "sim/register.h"
#include "usbhandler/kv30ids.h"

namespace {

GUID AsGuid(const usbdrv::InterfaceClass& interfaceClass) {
  GUID guid;
  std::memcpy(&guid, &interfaceClass, sizeof guid);
  return guid;
}

const GUID kHandsetClass = AsGuid(sim::kHandsetInterfaceClass);

typedef HDEVINFO(WINAPI* GetClassDevsFn)(const GUID*, PCSTR, HWND, DWORD);
typedef BOOL(WINAPI* DestroyListFn)(HDEVINFO);
typedef BOOL(WINAPI* EnumInterfacesFn)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                       PSP_DEVICE_INTERFACE_DATA);

template <class Fn>
Fn Entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class SimRegister : public ::testing::Test {
 protected:
  void SetUp() override { posixplat::Reset(); }
  void TearDown() override {
    sim::UnregisterAllHandsets();
    posixplat::Reset();
  }

  // Interfaces the setup API lists under `guid`.
  int CountListed(const GUID& guid) {
    HMODULE setupapi = LoadLibraryA("setupapi.dll");
    EXPECT_NE(nullptr, setupapi);
    if (setupapi == nullptr) return -1;
    auto getClassDevs = Entry<GetClassDevsFn>(setupapi, "SetupDiGetClassDevsA");
    auto destroy = Entry<DestroyListFn>(setupapi, "SetupDiDestroyDeviceInfoList");
    auto enumInterfaces = Entry<EnumInterfacesFn>(setupapi, "SetupDiEnumDeviceInterfaces");
    int count = -1;
    HDEVINFO list = getClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list != INVALID_HANDLE_VALUE) {
      SP_DEVICE_INTERFACE_DATA data;
      std::memset(&data, 0, sizeof(data));
      data.cbSize = sizeof(data);
      count = 0;
      while (enumInterfaces(list, nullptr, &guid, static_cast<DWORD>(count), &data)) ++count;
      destroy(list);
    }
    FreeLibrary(setupapi);
    return count;
  }

  static HANDLE OpenPath(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  }
};

// The simulator and velkor each define the handset's identity; they must
// agree.
TEST_F(SimRegister, HandsetIdentityIsTheOneVelkorLooksFor) {
  EXPECT_EQ(0, std::memcmp(&KV30_INTERFACE_CLASS_GUID, &kHandsetClass, sizeof(GUID)));
  EXPECT_EQ(KV30_DEVICE_IDS[0].idVendor, sim::kDefaultVendor);
  EXPECT_EQ(KV30_DEVICE_IDS[0].idProduct, sim::kDefaultProduct);
}

TEST_F(SimRegister, RegisteredHandsetsAreListedAndUnregisteredOnesGo) {
  auto first = std::make_shared<sim::Device>();
  auto second = std::make_shared<sim::Device>();
  const int a = sim::RegisterHandset(first);
  const int b = sim::RegisterHandset(second);
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(2, CountListed(kHandsetClass));
  const GUID other = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  EXPECT_EQ(0, CountListed(other));
  sim::UnregisterHandset(a);
  EXPECT_EQ(1, CountListed(kHandsetClass));
}

TEST_F(SimRegister, CreateFileOpensASessionOnTheDevice) {
  auto dev = std::make_shared<sim::Device>();
  const int id = sim::RegisterHandset(dev);
  const std::string path = posixplat::DevicePath(id);
  ASSERT_FALSE(path.empty());
  HANDLE h = OpenPath(path);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(1, dev->OpenSessions());
  uint8_t info[12] = {};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(h, USBDRV_REQUEST_DRIVER_INFO, nullptr, 0, info, sizeof(info), &returned, nullptr));
  EXPECT_EQ(0x0200, info[0] | (info[1] << 8));
  ASSERT_TRUE(CloseHandle(h));
  posixplat::FlushCompletions();
  EXPECT_TRUE(dev->WaitUntil([&] { return dev->OpenSessions() == 0; }, 10000));
}

TEST_F(SimRegister, UnopenableHandsetFailsCreateFile) {
  auto dev = std::make_shared<sim::Device>();
  dev->SetOpenable(false);
  const std::string path = posixplat::DevicePath(sim::RegisterHandset(dev));
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenPath(path));
  EXPECT_EQ(0, dev->SessionsOpened());
}

}  // namespace
