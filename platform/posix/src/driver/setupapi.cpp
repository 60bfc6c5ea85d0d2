// The setupapi.dll module: LoadLibraryA, GetProcAddress and FreeLibrary, and
// the four setup API functions over the driver's instances.
#include <setupapi.h>
#include <stddef.h>
#include <string.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "registry.h"

namespace posixplat {
namespace {

// A device information set: a snapshot of the instances of one class, which
// keeps each listed instance reachable by its path until it is destroyed.
struct InterfaceList {
  GUID interfaceClass;
  std::vector<ListedInstance> entries;
};

constexpr DWORD kInterfaceDataSize = sizeof(SP_DEVICE_INTERFACE_DATA);
constexpr DWORD kDetailHeaderSize = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
constexpr DWORD kDetailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
static_assert(kInterfaceDataSize == 28, "32-bit layout of SP_DEVICE_INTERFACE_DATA");
static_assert(kDetailSize == 5, "32-bit layout of SP_DEVICE_INTERFACE_DETAIL_DATA_A");
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "32-bit layout of SP_DEVINFO_DATA");

const char* const kEntryNames[] = {"SetupDiGetClassDevsA", "SetupDiDestroyDeviceInfoList",
                                   "SetupDiEnumDeviceInterfaces",
                                   "SetupDiGetDeviceInterfaceDetailA"};

struct SetupApiState {
  std::mutex lock;
  bool available = true;
  bool entryAvailable[4] = {true, true, true, true};
  int loads = 0;
  std::set<InterfaceList*> lists;
};

// Never destroyed: the program frees the library during its exit.
SetupApiState& State() {
  static SetupApiState* state = new SetupApiState;
  return *state;
}

// The module handle of setupapi.dll.
char moduleToken;
HMODULE SetupApiModule() { return static_cast<HMODULE>(&moduleToken); }

bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The list behind a handle, or null. The caller holds State().lock.
InterfaceList* FindList(HDEVINFO handle) {
  auto* list = static_cast<InterfaceList*>(handle);
  return State().lists.count(list) != 0 ? list : nullptr;
}

HDEVINFO WINAPI GetClassDevs(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
  if (enumerator != nullptr) {
    // Enumerator filters are not supported.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto* list = new InterfaceList;
  memset(&list->interfaceClass, 0, sizeof(GUID));
  // Only device interfaces of one class are known here; every instance is
  // present. A set of setup classes or of all classes holds no interface.
  if (classGuid != nullptr && (flags & DIGCF_DEVICEINTERFACE) != 0 &&
      (flags & DIGCF_ALLCLASSES) == 0) {
    list->interfaceClass = *classGuid;
    list->entries = ListInstances(ToInterfaceClass(*classGuid));
  }
  std::lock_guard<std::mutex> guard(State().lock);
  State().lists.insert(list);
  return list;
}

BOOL WINAPI DestroyList(HDEVINFO handle) {
  InterfaceList* list;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    list = FindList(handle);
    if (list == nullptr) return Fail(ERROR_INVALID_HANDLE);
    State().lists.erase(list);
  }
  delete list;
  return TRUE;
}

BOOL WINAPI EnumInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID* interfaceClass,
                           DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  std::lock_guard<std::mutex> guard(State().lock);
  InterfaceList* list = FindList(handle);
  if (list == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (interfaceClass == nullptr || data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (data->cbSize != kInterfaceDataSize) return Fail(ERROR_INVALID_USER_BUFFER);
  if (!SameGuid(*interfaceClass, list->interfaceClass) || index >= list->entries.size()) {
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  data->InterfaceClassGuid = *interfaceClass;
  data->Flags = SPINT_ACTIVE;
  // Reserved identifies the entry for the detail call.
  data->Reserved = index + 1;
  return TRUE;
}

BOOL WINAPI GetInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                               PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo) {
  std::lock_guard<std::mutex> guard(State().lock);
  InterfaceList* list = FindList(handle);
  if (list == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (data->cbSize != kInterfaceDataSize) return Fail(ERROR_INVALID_USER_BUFFER);
  if (data->Reserved == 0 || data->Reserved > list->entries.size() ||
      !SameGuid(data->InterfaceClassGuid, list->interfaceClass)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::string& path = list->entries[data->Reserved - 1].path;
  const DWORD required = kDetailHeaderSize + static_cast<DWORD>(path.size()) + 1;
  if (detail == nullptr) {
    if (detailSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
    // The size probe: fails, and reports the size it needs.
    if (requiredSize != nullptr) *requiredSize = required;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (detailSize < kDetailSize || detail->cbSize != kDetailSize) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (deviceInfo != nullptr && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (requiredSize != nullptr) *requiredSize = required;
  if (detailSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  if (deviceInfo != nullptr) {
    deviceInfo->ClassGuid = list->interfaceClass;
    deviceInfo->DevInst = data->Reserved;
    deviceInfo->Reserved = 0;
  }
  return TRUE;
}

// Through void (*)(void), the type that converts to and from any function
// pointer type without a warning.
template <class Function>
FARPROC AsProc(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(function));
}

FARPROC EntryPoint(int index) {
  switch (index) {
    case 0:
      return AsProc(&GetClassDevs);
    case 1:
      return AsProc(&DestroyList);
    case 2:
      return AsProc(&EnumInterfaces);
    case 3:
      return AsProc(&GetInterfaceDetail);
  }
  return nullptr;
}

// "setupapi.dll", "SETUPAPI", "C:\Windows\System32\setupapi.dll" name it.
bool NamesSetupApi(const char* fileName) {
  std::string name(fileName);
  const size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return name == "setupapi.dll" || name == "setupapi";
}

}  // namespace

void SetSetupApiAvailable(bool available) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().available = available;
}

void SetSetupApiEntryAvailable(const std::string& name, bool available) {
  std::lock_guard<std::mutex> guard(State().lock);
  for (int i = 0; i < 4; ++i) {
    if (name == kEntryNames[i]) State().entryAvailable[i] = available;
  }
}

int SetupApiLoadCount() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().loads;
}

int OpenDeviceInfoListCount() {
  std::lock_guard<std::mutex> guard(State().lock);
  return static_cast<int>(State().lists.size());
}

void ResetSetupApi() {
  std::lock_guard<std::mutex> guard(State().lock);
  State().available = true;
  for (bool& entry : State().entryAvailable) entry = true;
}

}  // namespace posixplat

using posixplat::State;

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(State().lock);
  if (!posixplat::NamesSetupApi(fileName) || !State().available) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++State().loads;
  return posixplat::SetupApiModule();
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  std::lock_guard<std::mutex> guard(State().lock);
  if (module != posixplat::SetupApiModule() || State().loads == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Lookups by ordinal (values below 0x10000) find nothing here.
  if (reinterpret_cast<uintptr_t>(procName) >= 0x10000) {
    for (int i = 0; i < 4; ++i) {
      if (strcmp(procName, posixplat::kEntryNames[i]) == 0 && State().entryAvailable[i]) {
        return posixplat::EntryPoint(i);
      }
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  std::lock_guard<std::mutex> guard(State().lock);
  if (module != posixplat::SetupApiModule() || State().loads == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --State().loads;
  return TRUE;
}

}  // extern "C"
