#include "usbio/setupapiloader.h"

namespace {

// Entry points come back as FARPROC; going through void (*)(void), the type
// that converts to every function pointer type, keeps the cast explicit.
template <typename Proc>
Proc EntryPoint(HMODULE module, const char* name) {
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

}  // namespace

// Constant-initialised: usable before any dynamic initialisation runs.
CSetupApiLoader setupApi;

CSetupApiLoader::~CSetupApiLoader() { Unload(); }

bool CSetupApiLoader::EnsureLoaded() {
  if (module != nullptr) {
    return true;
  }
  module = LoadLibraryA("setupapi.dll");
  if (module == nullptr) {
    return false;
  }
  // All four are looked up even when an earlier one is missing.
  getClassDevs = EntryPoint<SetupDiGetClassDevsAProc>(module, "SetupDiGetClassDevsA");
  destroyDeviceInfoList =
      EntryPoint<SetupDiDestroyDeviceInfoListProc>(module, "SetupDiDestroyDeviceInfoList");
  enumDeviceInterfaces =
      EntryPoint<SetupDiEnumDeviceInterfacesProc>(module, "SetupDiEnumDeviceInterfaces");
  getDeviceInterfaceDetail =
      EntryPoint<SetupDiGetDeviceInterfaceDetailAProc>(module, "SetupDiGetDeviceInterfaceDetailA");
  if (getClassDevs == nullptr || destroyDeviceInfoList == nullptr ||
      enumDeviceInterfaces == nullptr || getDeviceInterfaceDetail == nullptr) {
    Unload();
    return false;
  }
  return true;
}

void CSetupApiLoader::Unload() {
  if (module == nullptr) {
    return;
  }
  FreeLibrary(module);
  module = nullptr;
  getClassDevs = nullptr;
  destroyDeviceInfoList = nullptr;
  enumDeviceInterfaces = nullptr;
  getDeviceInterfaceDetail = nullptr;
}
