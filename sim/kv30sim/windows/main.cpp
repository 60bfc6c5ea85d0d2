// kv30sim on Windows: the simulated KV30 handset served through the test
// kernel driver of the Wine test bench (winbench/). The driver lists the
// handset, and the foreign device of --foreign-first before it, as device
// interfaces of the handset's interface class, where velkor.exe finds them
// like a plugged-in handset; every request of velkor's handles reaches the
// handset here. The handset's state (login, settings, received image) lives
// here and outlasts each velkor run. Ctrl-C or `benchctl stop` ends it; the
// driver then fails what velkor's handles still wait for, as for a handset
// pulled out.
#include <windows.h>
// After windows.h.
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sim/identity.h"
#include "sim/kv30sim/handset.h"
#include "sim/kv30sim/options.h"
#include "sim/kv30sim/transcript.h"
#include "winbench/server/bench_server.h"

namespace {

int Fail(const std::string& message) {
  fprintf(stderr, "kv30sim: %s\n", message.c_str());
  return 1;
}

BOOL WINAPI OnConsoleEvent(DWORD) {
  winbench::BenchServer::RequestStop();
  return TRUE;
}

// The device path under which the setup API lists the index-th instance.
std::string DevicePath(DWORD index) {
  const usbdrv::InterfaceClass& c = sim::kHandsetInterfaceClass;
  GUID guid;
  guid.Data1 = c.data1;
  guid.Data2 = c.data2;
  guid.Data3 = c.data3;
  memcpy(guid.Data4, c.data4, sizeof guid.Data4);
  HDEVINFO list =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) return "";
  std::string path;
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof data;
  if (SetupDiEnumDeviceInterfaces(list, nullptr, &guid, index, &data)) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &needed, nullptr);
    std::vector<char> room(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(room.data());
    detail->cbSize = sizeof *detail;
    if (needed != 0 &&
        SetupDiGetDeviceInterfaceDetailA(list, &data, detail, needed, nullptr, nullptr)) {
      path = detail->DevicePath;
    }
  }
  SetupDiDestroyDeviceInfoList(list);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  kv30sim::Options options;
  int exitStatus = 0;
  if (!kv30sim::ReadCommandLine(argc, argv, &options, &exitStatus)) return exitStatus;
  std::string error;
  // Faults of the process and of its socket connections belong to the POSIX
  // front end.
  if (options.trip != kv30sim::Options::kTripNone || options.garbage || options.close) {
    return Fail("--stop-at-write, --kill-at-write, --garbage-after and --close-after "
                "are not available here");
  }

  kv30sim::Transcript transcript;
  if (!options.log.empty() && !transcript.Open(options.log)) {
    return Fail("cannot write the transcript " + options.log + ": " + strerror(errno));
  }

  kv30sim::Handset handset =
      kv30sim::BuildHandset(options, options.log.empty() ? nullptr : &transcript);
  winbench::BenchServer server;
  if (!server.Start(sim::kHandsetInterfaceClass, handset.instances, &error)) return Fail(error);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

  // The handset is listed last.
  printf("kv30sim: ready %s\n",
         DevicePath(static_cast<DWORD>(handset.instances.size() - 1)).c_str());
  fflush(stdout);
  if (!server.Run(&error)) return Fail(error);
  // The sessions are gone; the devices' threads end with them.
  return 0;
}
