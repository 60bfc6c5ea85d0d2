// The built-in setupapi.dll: loading, entry points and the interface list.
#include <setupapi.h>
#include <string.h>

#include "driver_fixture.h"

namespace platformtest {
namespace {

typedef HDEVINFO(WINAPI* GetClassDevsProc)(const GUID*, PCSTR, HWND, DWORD);
typedef BOOL(WINAPI* DestroyListProc)(HDEVINFO);
typedef BOOL(WINAPI* EnumInterfacesProc)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                         PSP_DEVICE_INTERFACE_DATA);
typedef BOOL(WINAPI* GetDetailProc)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                    PSP_DEVINFO_DATA);

template <class Proc>
Proc Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

class SetupApiTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    module = LoadLibraryA("setupapi.dll");
    ASSERT_NE(nullptr, module);
    getClassDevs = Lookup<GetClassDevsProc>(module, "SetupDiGetClassDevsA");
    destroyList = Lookup<DestroyListProc>(module, "SetupDiDestroyDeviceInfoList");
    enumInterfaces = Lookup<EnumInterfacesProc>(module, "SetupDiEnumDeviceInterfaces");
    getDetail = Lookup<GetDetailProc>(module, "SetupDiGetDeviceInterfaceDetailA");
    ASSERT_TRUE(getClassDevs && destroyList && enumInterfaces && getDetail);
  }
  void TearDown() override {
    EXPECT_EQ(0, posixplat::OpenDeviceInfoListCount());
    if (module != nullptr) FreeLibrary(module);
    EXPECT_EQ(0, posixplat::SetupApiLoadCount());
    DriverTest::TearDown();
  }

  HDEVINFO List(const GUID& guid) {
    return getClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  }

  // The device path of entry `index`, or "" when the lookup fails.
  std::string PathAt(HDEVINFO list, DWORD index, const GUID& guid = kTestClass) {
    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    if (!enumInterfaces(list, nullptr, &guid, index, &data)) return "";
    DWORD required = 0;
    getDetail(list, &data, nullptr, 0, &required, nullptr);
    std::vector<char> block(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!getDetail(list, &data, detail, required, &required, nullptr)) return "";
    return detail->DevicePath;
  }

  HMODULE module = nullptr;
  GetClassDevsProc getClassDevs = nullptr;
  DestroyListProc destroyList = nullptr;
  EnumInterfacesProc enumInterfaces = nullptr;
  GetDetailProc getDetail = nullptr;
};

TEST_F(SetupApiTest, RecordsHaveTheLayoutOfThe32BitApi) {
  EXPECT_EQ(28u, sizeof(SP_DEVICE_INTERFACE_DATA));
  EXPECT_EQ(5u, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  EXPECT_EQ(28u, sizeof(SP_DEVINFO_DATA));
}

TEST_F(SetupApiTest, ListsRegisteredInstancesInOrderThenProvidersOnes) {
  auto second = std::make_shared<FakeState>();
  const int secondId =
      posixplat::RegisterInstance(ClassOf(kTestClass), std::make_shared<FakeInstance>(second));
  posixplat::RegisterInstance(ClassOf(kOtherClass), std::make_shared<FakeInstance>(second));
  auto provided = std::make_shared<FakeInstance>(std::make_shared<FakeState>());
  int calls = 0;
  const int provider = posixplat::AddProvider([&](const usbdrv::InterfaceClass& asked) {
    ++calls;
    std::vector<std::shared_ptr<usbdrv::Instance>> found;
    if (asked == ClassOf(kTestClass)) found.push_back(provided);
    return found;
  });

  HDEVINFO list = List(kTestClass);
  ASSERT_NE(INVALID_HANDLE_VALUE, list);
  EXPECT_EQ(1, calls);
  EXPECT_EQ(path, PathAt(list, 0));
  EXPECT_EQ(posixplat::DevicePath(secondId), PathAt(list, 1));
  const std::string providedPath = PathAt(list, 2);
  EXPECT_NE("", providedPath);
  EXPECT_EQ("", PathAt(list, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());

  // The provider's instance keeps its path from list to list and opens.
  HDEVINFO again = List(kTestClass);
  EXPECT_EQ(providedPath, PathAt(again, 2));
  const std::string registeredPath = path;
  path = providedPath;
  EXPECT_NE(INVALID_HANDLE_VALUE, Open());
  path = registeredPath;
  EXPECT_TRUE(destroyList(again));
  EXPECT_TRUE(destroyList(list));

  posixplat::RemoveProvider(provider);
  HDEVINFO other = List(kOtherClass);
  EXPECT_NE("", PathAt(other, 0, kOtherClass));
  EXPECT_EQ("", PathAt(other, 1, kOtherClass));
  // Enumerating another class than the list's finds nothing.
  EXPECT_EQ("", PathAt(other, 0, kTestClass));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_TRUE(destroyList(other));
  EXPECT_EQ(2, calls);  // one call per list while the provider was there
}

TEST_F(SetupApiTest, ListIsASnapshotThatKeepsItsInstancesReachable) {
  HDEVINFO list = List(kTestClass);
  posixplat::UnregisterInstance(id);
  HDEVINFO empty = List(kTestClass);
  EXPECT_EQ("", PathAt(empty, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_EQ(path, PathAt(list, 0));
  EXPECT_NE(INVALID_HANDLE_VALUE, Open());
  destroyList(empty);
  destroyList(list);
  for (HANDLE h : handles) CloseHandle(h);
  handles.clear();
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open());
}

TEST_F(SetupApiTest, EnumRefusesAWrongRecordSize) {
  HDEVINFO list = List(kTestClass);
  const DWORD sizes[] = {0, 27, 29, 32};
  for (DWORD size : sizes) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = size;
    EXPECT_FALSE(enumInterfaces(list, nullptr, &kTestClass, 0, &data)) << size;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
  }
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_TRUE(enumInterfaces(list, nullptr, &kTestClass, 0, &data));
  EXPECT_EQ(0, memcmp(&kTestClass, &data.InterfaceClassGuid, sizeof(GUID)));
  EXPECT_FALSE(enumInterfaces(reinterpret_cast<HDEVINFO>(&data), nullptr, &kTestClass, 0, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  destroyList(list);
  EXPECT_FALSE(destroyList(list));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(SetupApiTest, DetailSizeProbeAndRecordSizeRules) {
  HDEVINFO list = List(kTestClass);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(enumInterfaces(list, nullptr, &kTestClass, 0, &data));

  DWORD required = 0;
  EXPECT_FALSE(getDetail(list, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(4 + path.size() + 1, required);

  std::vector<char> block(required + 8, 'x');
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
  struct Case {
    DWORD cbSize;
    DWORD bufferSize;
    DWORD error;
  } cases[] = {
      {4, required, ERROR_INVALID_USER_BUFFER},     {6, required, ERROR_INVALID_USER_BUFFER},
      {8, required, ERROR_INVALID_USER_BUFFER},     {5, 4, ERROR_INVALID_USER_BUFFER},
      {5, required - 1, ERROR_INSUFFICIENT_BUFFER},
  };
  for (const Case& c : cases) {
    detail->cbSize = c.cbSize;
    EXPECT_FALSE(getDetail(list, &data, detail, c.bufferSize, nullptr, nullptr))
        << c.cbSize << "/" << c.bufferSize;
    EXPECT_EQ(c.error, GetLastError()) << c.cbSize << "/" << c.bufferSize;
  }
  EXPECT_EQ('x', block[4]);  // nothing written on failure

  detail->cbSize = 5;
  ASSERT_TRUE(getDetail(list, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(path, detail->DevicePath);
  data.cbSize = 24;
  EXPECT_FALSE(getDetail(list, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
  destroyList(list);
}

TEST_F(SetupApiTest, ClassDevsNeedsAClass) {
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            getClassDevs(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(SetupApiTest, MissingModuleAndMissingEntryPoints) {
  posixplat::SetSetupApiAvailable(false);
  EXPECT_EQ(nullptr, LoadLibraryA("setupapi.dll"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  posixplat::SetSetupApiAvailable(true);
  EXPECT_EQ(nullptr, LoadLibraryA("kernel33.dll"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());

  const char* names[] = {"SetupDiGetClassDevsA", "SetupDiDestroyDeviceInfoList",
                         "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA"};
  for (const char* missing : names) {
    posixplat::SetSetupApiEntryAvailable(missing, false);
    for (const char* name : names) {
      const bool found = GetProcAddress(module, name) != nullptr;
      EXPECT_EQ(strcmp(name, missing) != 0, found) << missing << " missing, looked up " << name;
      if (!found) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
      }
    }
    posixplat::SetSetupApiEntryAvailable(missing, true);
  }
  EXPECT_EQ(nullptr, GetProcAddress(module, "SetupDiGetClassDevsW"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());

  // Loads are counted; the module is gone after the last FreeLibrary.
  HMODULE again = LoadLibraryA("SETUPAPI.DLL");
  EXPECT_EQ(module, again);
  EXPECT_EQ(2, posixplat::SetupApiLoadCount());
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_TRUE(FreeLibrary(module));
  module = nullptr;
  EXPECT_EQ(nullptr, GetProcAddress(again, "SetupDiGetClassDevsA"));
  EXPECT_FALSE(FreeLibrary(again));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

}  // namespace
}  // namespace platformtest
