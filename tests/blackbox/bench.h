// A bench: velkor and the simulated handset as a user runs them on one host,
// each in a process of its own, with a work folder that both can use.
#ifndef VELKOR_TESTS_BLACKBOX_BENCH_H
#define VELKOR_TESTS_BLACKBOX_BENCH_H

#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace blackbox {

class Bench {
 public:
  virtual ~Bench() = default;
  // A short name of the host, for messages.
  virtual std::string Host() const = 0;
  // A path in the work folder; velkor runs with the work folder as its
  // working folder, so a bare file name also reaches it.
  virtual std::string File(const std::string& name) const = 0;
  // Starts the handset with kv30sim's `options`. False with `error` set when
  // it does not get ready.
  virtual bool StartHandset(const std::vector<std::string>& options, std::string* error) = 0;
  // Ends the handset as a user would (SIGTERM or its equivalent): its exit
  // status, or -1; `error` receives what it wrote to standard error.
  virtual int StopHandset(std::string* error) = 0;
  // Ends the handset at once, without clean-up.
  virtual void KillHandset() = 0;
  // Runs velkor with `args`; a run longer than `timeoutMs` is killed.
  virtual VelkorRun Velkor(const std::vector<std::string>& args, int timeoutMs) = 0;
};

// velkor and kv30sim built for this host, with KV30SIM_DIR a fresh folder.
std::unique_ptr<Bench> MakeLocalBench();

// velkor.exe and kv30sim.exe under Wine, through the test kernel driver, as
// scripts/wine-bench.sh runs them. After every velkor run it adds a test
// failure when the driver still holds a request of velkor's handles.
struct WineBenchSetup {
  std::string script;       // scripts/wine-bench.sh
  std::string benchFolder;  // its VELKOR_WINE_BENCH_DIR, with a ready prefix
  std::string velkorExe;    // the 64-bit velkor.exe
  std::string winbenchBuild;
  std::string runInPrefix;  // winbench/run-in-prefix.sh
};
std::unique_ptr<Bench> MakeWineBench(const WineBenchSetup& setup);

}  // namespace blackbox

#endif
