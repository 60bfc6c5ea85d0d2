// benchctl: the test driver's state and mode, and stopping its server.
//
//   benchctl pending [MS]   "pending requests: N": the requests of client
//                           handles the driver still holds, once that count
//                           is 0 or after MS milliseconds (default 3000)
//   benchctl state          serving, instances, mode and pending requests
//   benchctl stop [MS]      asks the server to end and waits up to MS
//                           milliseconds (default 10000) until it has
//   benchctl mode normal|ignore-cancel
//
// Exit status: 0 done, 1 the driver failed or is not running, 2 bad words,
// 3 the wait ran out.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "winbench/protocol.h"
#include "winbench/server/control_device.h"

namespace {

int Usage() {
  fputs("usage: benchctl pending [MS] | state | stop [MS] | mode normal|ignore-cancel\n", stderr);
  return 2;
}

bool Milliseconds(int argc, char** argv, int at, DWORD fallback, DWORD* value) {
  *value = fallback;
  if (argc <= at) return true;
  char* end = nullptr;
  unsigned long parsed = strtoul(argv[at], &end, 10);
  if (end == argv[at] || *end != '\0' || parsed > 600000) return false;
  *value = static_cast<DWORD>(parsed);
  return true;
}

int Failed(const char* what, DWORD error) {
  fprintf(stderr, "benchctl: %s failed (error %lu)\n", what, static_cast<unsigned long>(error));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  winbench::ControlDevice device;
  DWORD error = 0;
  if (!device.Open(&error)) {
    fprintf(stderr,
            "benchctl: the test driver " WINBENCH_SERVICE_NAME " is not running (error %lu)\n",
            static_cast<unsigned long>(error));
    return 1;
  }
  winbench_state state;
  if (command == "pending" || command == "state") {
    DWORD limit = 0;
    if (command == "pending" && !Milliseconds(argc, argv, 2, 3000, &limit)) return Usage();
    const DWORD start = GetTickCount();
    for (;;) {
      if ((error = device.Query(&state)) != 0) return Failed("query", error);
      if (state.pendingTotal == 0 || GetTickCount() - start >= limit) break;
      Sleep(20);
    }
    if (command == "state") {
      printf("serving: %s\ninstances: %u\nmode: %s\n", state.serving ? "yes" : "no",
             state.instanceCount,
             (state.mode & WINBENCH_MODE_IGNORE_CANCEL) ? "ignore-cancel" : "normal");
    }
    printf("pending requests: %u\n", state.pendingTotal);
    return 0;
  }
  if (command == "stop") {
    DWORD limit = 0;
    if (!Milliseconds(argc, argv, 2, 10000, &limit)) return Usage();
    error = device.StopServer();
    if (error == ERROR_NOT_READY) return 0;  // no server runs
    if (error != 0) return Failed("stop", error);
    const DWORD start = GetTickCount();
    for (;;) {
      if ((error = device.Query(&state)) != 0) return Failed("query", error);
      if (!state.serving) return 0;
      if (GetTickCount() - start >= limit) break;
      Sleep(20);
    }
    fprintf(stderr, "benchctl: the server still runs after %lu ms\n",
            static_cast<unsigned long>(limit));
    return 3;
  }
  if (command == "mode" && argc == 3) {
    uint32_t mode;
    if (std::strcmp(argv[2], "normal") == 0) {
      mode = 0;
    } else if (std::strcmp(argv[2], "ignore-cancel") == 0) {
      mode = WINBENCH_MODE_IGNORE_CANCEL;
    } else {
      return Usage();
    }
    if ((error = device.SetMode(mode)) != 0) return Failed("mode", error);
    return 0;
  }
  return Usage();
}
