// A test bench in the test program's own process: a BenchServer on a thread
// of its own serving test instances through the test driver, and the client
// side of the Windows API to reach them.
#ifndef VELKOR_WINBENCH_TESTS_BENCH_FIXTURE_H
#define VELKOR_WINBENCH_TESTS_BENCH_FIXTURE_H

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "usbdrv/device.h"
#include "winbench/protocol.h"
#include "winbench/server/bench_server.h"
#include "winbench/server/device_interfaces.h"

namespace winbench {

// The interface class the tests list their instances under; no program of
// the project uses it.
extern const GUID kTestClass;

// An overlapped record with its own event, closed with the object.
struct Overlapped {
  Overlapped();
  ~Overlapped();
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  OVERLAPPED record;
};

class BenchTest : public ::testing::Test {
 protected:
  void TearDown() override;

  // Lists the instances and serves them until StopServer or the test's end.
  void Serve(std::vector<std::shared_ptr<usbdrv::Instance>> instances);
  // Stops the server; true when Run reported a requested stop.
  bool StopServer();

  HANDLE Open(DWORD index);
  // A control request waited for to the end; `pended` tells whether the
  // driver left it pending.
  DWORD Control(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                DWORD* returned = nullptr, bool* pended = nullptr);
  DWORD Bind(HANDLE handle, BYTE address);
  winbench_state State();
  // Waits (bounded) until the driver holds no request of a client.
  bool Settled(DWORD timeoutMs = 5000);
  void SetMode(uint32_t mode);

  std::vector<HANDLE> handles_;

 private:
  std::unique_ptr<BenchServer> server_;
  std::thread serving_;
  bool stoppedOnRequest_ = false;
  bool modeSet_ = false;
};

}  // namespace winbench

#endif
