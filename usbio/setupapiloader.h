// The process-wide loader of setupapi.dll. The library is loaded by name at
// first use, never linked, and stays loaded until process exit.
#ifndef VELKOR_USBIO_SETUPAPILOADER_H
#define VELKOR_USBIO_SETUPAPILOADER_H

#include <windows.h>
// windows.h first: setupapi.h builds on its types.
#include <setupapi.h>

typedef HDEVINFO(WINAPI* SetupDiGetClassDevsAProc)(const GUID* classGuid, PCSTR enumerator,
                                                   HWND parent, DWORD flags);
typedef BOOL(WINAPI* SetupDiDestroyDeviceInfoListProc)(HDEVINFO deviceInfoSet);
typedef BOOL(WINAPI* SetupDiEnumDeviceInterfacesProc)(HDEVINFO deviceInfoSet,
                                                      PSP_DEVINFO_DATA deviceInfoData,
                                                      const GUID* interfaceClassGuid,
                                                      DWORD memberIndex,
                                                      PSP_DEVICE_INTERFACE_DATA interfaceData);
typedef BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailAProc)(
    HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA interfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A interfaceDetailData, DWORD interfaceDetailDataSize,
    PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfoData);

// Either the module and all four entry points are set, or all five are null.
// Not thread-safe: used on the main thread only.
class CSetupApiLoader {
 public:
  constexpr CSetupApiLoader()
      : module(nullptr),
        getClassDevs(nullptr),
        destroyDeviceInfoList(nullptr),
        enumDeviceInterfaces(nullptr),
        getDeviceInterfaceDetail(nullptr) {}
  ~CSetupApiLoader();

  // True when the library and all four entry points are available.
  bool EnsureLoaded();
  // Releases the library; harmless when it is not loaded.
  void Unload();

  HMODULE module;
  SetupDiGetClassDevsAProc getClassDevs;
  SetupDiDestroyDeviceInfoListProc destroyDeviceInfoList;
  SetupDiEnumDeviceInterfacesProc enumDeviceInterfaces;
  SetupDiGetDeviceInterfaceDetailAProc getDeviceInterfaceDetail;

 private:
  CSetupApiLoader(const CSetupApiLoader&) = delete;
  CSetupApiLoader& operator=(const CSetupApiLoader&) = delete;
};

// The one loader of the process.
extern CSetupApiLoader setupApi;

#endif
