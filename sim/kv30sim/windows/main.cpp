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
#include <stdio.h>
#include <string.h>

#include <cerrno>
#include <string>

#include "sim/identity.h"
#include "sim/kv30sim/handset.h"
#include "sim/kv30sim/options.h"
#include "sim/kv30sim/transcript.h"
#include "winbench/server/bench_server.h"
#include "winbench/server/device_interfaces.h"

namespace {

int Fail(const std::string& message) {
  fprintf(stderr, "kv30sim: %s\n", message.c_str());
  return 1;
}

BOOL WINAPI OnConsoleEvent(DWORD) {
  winbench::BenchServer::RequestStop();
  return TRUE;
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
         winbench::InterfacePath(winbench::ToGuid(sim::kHandsetInterfaceClass),
                                 static_cast<DWORD>(handset.instances.size() - 1))
             .c_str());
  fflush(stdout);
  if (!server.Run(&error)) return Fail(error);
  // The sessions are gone; the devices' threads end with them.
  return 0;
}
