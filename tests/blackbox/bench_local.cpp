#include "bench.h"

namespace blackbox {
namespace {

class LocalBench : public Bench {
 public:
  std::string Host() const override { return "local"; }
  std::string File(const std::string& name) const override { return folder_.File(name); }

  bool StartHandset(const std::vector<std::string>& options, std::string* error) override {
    if (!sim_.Start(options)) {
      *error = sim_.error();
      return false;
    }
    return true;
  }
  int StopHandset(std::string* error) override {
    const int status = sim_.Stop();
    *error = sim_.error();
    return status;
  }
  void KillHandset() override { sim_.Kill(); }
  VelkorRun Velkor(const std::vector<std::string>& args, int timeoutMs) override {
    return RunVelkor(folder_.path(), folder_.path(), args, timeoutMs);
  }

 private:
  TempFolder folder_;
  Kv30Sim sim_{folder_.path()};
};

}  // namespace

std::unique_ptr<Bench> MakeLocalBench() { return std::unique_ptr<Bench>(new LocalBench); }

}  // namespace blackbox
