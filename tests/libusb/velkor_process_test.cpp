// The built velkor as a user runs it, against the simulated handset on the
// emulated usbfs: velkor is a child process whose libusb reaches the USB
// device that this process emulates. The rows of the black-box handset
// table run unchanged, standard output compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench.h"
#include "emulated_device.h"
#include "handset_table.h"
#include "process.h"
#include "sim/kv30sim/handset.h"
#include "sim/kv30sim/options.h"
#include "sim/kv30sim/transcript.h"
#include "usb_bus.h"

namespace usbfs {
namespace {

// The handset as kv30sim assembles it from its options, its instances put
// on the emulated bus in kv30sim's listing order. KV30SIM_DIR points at an
// empty folder, so velkor finds it on the bus only.
class UsbBench : public blackbox::Bench {
 public:
  ~UsbBench() override { TakeOff(false); }

  std::string Host() const override { return "emulated usbfs"; }
  std::string File(const std::string& name) const override { return work_.File(name); }

  bool StartHandset(const std::vector<std::string>& words, std::string* error) override {
    kv30sim::Options options;
    if (!kv30sim::ParseOptions(words, &options, error)) return false;
    if (!options.log.empty() && !transcript_.Open(options.log)) {
      *error = "cannot write the transcript " + options.log;
      return false;
    }
    handset_ = kv30sim::BuildHandset(options, options.log.empty() ? nullptr : &transcript_);
    for (const auto& instance : handset_.instances) {
      devices_.push_back(std::make_unique<EmulatedDevice>(TheBus(), 1, NextAddress(), instance));
      if (!devices_.back()->error().empty()) {
        *error = devices_.back()->error();
        return false;
      }
    }
    return true;
  }

  int StopHandset(std::string* error) override {
    error->clear();
    TakeOff(false);
    return 0;
  }

  void KillHandset() override { TakeOff(true); }

  blackbox::VelkorRun Velkor(const std::vector<std::string>& args, int timeoutMs) override {
    return blackbox::RunVelkor(noKv30sim_.path(), work_.path(), args, timeoutMs);
  }

 private:
  void TakeOff(bool pulled) {
    for (auto& device : devices_) {
      if (pulled) device->Unplug();
    }
    devices_.clear();
    handset_ = kv30sim::Handset();
  }

  blackbox::TempFolder work_;
  blackbox::TempFolder noKv30sim_;
  kv30sim::Transcript transcript_;
  kv30sim::Handset handset_;
  std::vector<std::unique_ptr<EmulatedDevice>> devices_;
};

// The rows whose handset is a USB device. The interface version and the
// binding of endpoints belong to the driver, which on this bench is velkor's
// own libusb backend: a simulated driver that reports another version or
// refuses a bind has no counterpart on the bus.
std::vector<blackbox::HandsetCase> UsbRows() {
  std::vector<blackbox::HandsetCase> rows;
  for (const blackbox::HandsetCase& row : blackbox::HandsetTable()) {
    const auto& o = row.options;
    const bool driverOnly = std::find(o.begin(), o.end(), "--version") != o.end() ||
                            std::find(o.begin(), o.end(), "--fail-bind") != o.end();
    if (!driverOnly) rows.push_back(row);
  }
  return rows;
}

class HandsetTableUsb : public ::testing::TestWithParam<blackbox::HandsetCase> {};

TEST_P(HandsetTableUsb, RunsAsTheRowSays) {
  UsbBench bench;
  blackbox::RunCase(bench, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, HandsetTableUsb, ::testing::ValuesIn(UsbRows()),
                         blackbox::CaseName());

}  // namespace
}  // namespace usbfs
