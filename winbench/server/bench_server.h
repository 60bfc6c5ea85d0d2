// The user-mode server of the test kernel driver: it lists instances
// (usbdrv::Instance) as device interfaces through the driver and serves
// every client handle on them as one usbdrv::Session.
#ifndef VELKOR_WINBENCH_SERVER_BENCH_SERVER_H
#define VELKOR_WINBENCH_SERVER_BENCH_SERVER_H

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "usbdrv/device.h"
#include "winbench/protocol.h"

namespace winbench {

class AnswerSender;
class ClientHandle;
class ControlDevice;

class BenchServer {
 public:
  BenchServer();
  ~BenchServer();
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  // Opens the driver's control device and lists the instances under the
  // interface class, in this order (at most WINBENCH_MAX_INSTANCES). False
  // with a message in `error`.
  bool Start(const usbdrv::InterfaceClass& interfaceClass,
             std::vector<std::shared_ptr<usbdrv::Instance>> instances, std::string* error);

  // Serves until a stop is requested (true) or the control device fails
  // (false, `error` set). Then the instances are taken away, as if
  // unplugged: the driver fails what their handles still wait for, and every
  // session is closed here.
  bool Run(std::string* error);

  // Asks the running server (of this process or another) to stop; 0 or the
  // Windows error (ERROR_NOT_READY: no server runs).
  static DWORD RequestStop();

 private:
  // Takes one request or notice; true for a stop.
  bool Serve(const winbench_request& request, const uint8_t* input);
  void Unplug();

  std::unique_ptr<ControlDevice> device_;
  std::unique_ptr<AnswerSender> sender_;
  std::vector<std::shared_ptr<usbdrv::Instance>> instances_;
  std::map<uint32_t, std::shared_ptr<ClientHandle>> handles_;  // Run's thread only
};

}  // namespace winbench

#endif
