// velkor with a simulated handset in its own process, for tests that need a
// whole program: its standard streams, its terminal and its signals.
//
//   reliability_velkor_host [options] -- words...
//
// The "--" stands in for the program path; the words after it are velkor's
// words. Options:
//   --logged-in            the shell is logged in already
//   --echo                 the shell sends every write back
//   --stall-shell-after N  the shell's OUT endpoint takes N writes, then stalls
//   --hold-shell-write N   the shell's write N (from 0) is taken and never
//                          finished: the device is busy with it for good
//   --hold-loader-write N  the same for the loader
//   --record FILE          after velkor returns, every shell write as a line
//                          of byte values
// A held write announces itself on standard error: "held write N".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "app/main.h"
#include "sim/device.h"
#include "sim/loader.h"
#include "sim/register.h"
#include "sim/shell.h"
#include "tests/reliability/stalling.h"
#include "tests/support/shell_record.h"

namespace {

// Hands writes to `inner`, but never finishes write `held`: the device's
// thread stays in it until the process ends.
class HoldingFunction : public sim::Function {
 public:
  HoldingFunction(std::shared_ptr<sim::Function> inner, long held)
      : inner_(std::move(inner)), held_(held) {}

  sim::WriteResult OnWrite(const uint8_t* data, uint32_t length, sim::InPipe& in) override {
    if (count_++ == held_) {
      fprintf(stderr, "held write %ld\n", held_);
      for (;;) pause();
    }
    return inner_->OnWrite(data, length, in);
  }

 private:
  std::shared_ptr<sim::Function> inner_;
  long held_;
  long count_ = 0;  // the device's thread only
};

long Number(const char* text) { return strtol(text, nullptr, 10); }

}  // namespace

int main(int argc, char** argv) {
  auto device = std::make_shared<sim::Device>();
  auto shell = std::make_shared<sim::Shell>();
  auto loader = std::make_shared<sim::Loader>();
  std::shared_ptr<sim::Function> shellSide = shell;
  std::shared_ptr<sim::Function> loaderSide = loader;
  const char* record = nullptr;
  long stallShellAfter = -1;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
    const char* option = argv[i];
    bool valued = i + 1 < argc;
    if (strcmp(option, "--logged-in") == 0) {
      shell->SetLoggedIn(true);
    } else if (strcmp(option, "--echo") == 0) {
      shell->SetEcho(true);
    } else if (strcmp(option, "--stall-shell-after") == 0 && valued) {
      stallShellAfter = Number(argv[++i]);
    } else if (strcmp(option, "--hold-shell-write") == 0 && valued) {
      shellSide = std::make_shared<HoldingFunction>(shellSide, Number(argv[++i]));
    } else if (strcmp(option, "--hold-loader-write") == 0 && valued) {
      loaderSide = std::make_shared<HoldingFunction>(loaderSide, Number(argv[++i]));
    } else if (strcmp(option, "--record") == 0 && valued) {
      record = argv[++i];
    } else {
      fprintf(stderr, "reliability_velkor_host: bad option %s\n", option);
      return 100;
    }
  }
  if (i >= argc) {
    fprintf(stderr, "reliability_velkor_host: no -- before velkor's words\n");
    return 100;
  }
  if (stallShellAfter >= 0) {
    shellSide = std::make_shared<StallingFunction>(shellSide, device.get(), 3,
                                                   static_cast<uint32_t>(stallShellAfter));
  }
  device->SetFunction(3, shellSide);
  device->SetFunction(7, loaderSide);
  sim::RegisterHandset(device);

  int status = velkorMain(argc - i, argv + i);

  if (record != nullptr && !WriteShellRecord(record, shell->Writes())) return 101;
  sim::UnregisterAllHandsets();
  return status;
}
