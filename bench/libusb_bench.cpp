// The libusb backend over the emulated usbfs: the time of one exchange (a
// write, and the handset's answer on a queued read) through the backend's
// sessions. Run under umockdev-wrapper:
//   umockdev-wrapper build/tests/libusb/libusb_bench [exchanges]
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "emulated_bus.h"
#include "emulated_device.h"
#include "libusb_backend/backend.h"
#include "scripted_handset.h"
#include "transfer_probe.h"

int main(int argc, char** argv) {
  if (!usbfs::PreloadActive()) {
    fprintf(stderr, "run under umockdev-wrapper\n");
    return 77;
  }
  prctl(PR_SET_TIMERSLACK, 1UL);
  const int exchanges = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;
  usbfs::Bus bus;
  auto model = std::make_shared<usbfs::ScriptedHandset>(0xADDE, 0xEFBE);
  model->SetScript([](uint8_t, const std::string&) { return std::string("$ "); });
  int failures = 0;
  std::vector<double> times;
  {
    usbfs::EmulatedDevice device(bus, 1, 2, model);
    auto listed = libusb_backend::ListHandsets();
    if (listed.empty()) return 1;
    std::unique_ptr<usbdrv::Session> reader = listed[0]->Open();
    std::unique_ptr<usbdrv::Session> writer = listed[0]->Open();
    if (!reader || !writer || reader->BindEndpoint(0x83) != 0 || writer->BindEndpoint(0x03) != 0) {
      return 1;
    }
    for (int i = 0; i < exchanges; i++) {
      std::unique_ptr<usbfs::TransferProbe> read(usbfs::TransferProbe::Read(0x83, 4096));
      std::unique_ptr<usbfs::TransferProbe> write(usbfs::TransferProbe::Write(0x03, "\r\n"));
      const auto start = std::chrono::steady_clock::now();
      reader->Submit(read.get());
      writer->Submit(write.get());
      if (!write->Wait(10000) || !read->Wait(10000) || read->Received() != "$ ") failures++;
      times.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
    }
    reader.reset();
    writer.reset();
    libusb_backend::Shutdown();
  }
  std::sort(times.begin(), times.end());
  double total = 0;
  for (double t : times) total += t;
  fprintf(stderr,
          "exchange over the emulated usbfs (%d): mean %.3f ms, median %.3f ms, "
          "90th percentile %.3f ms, max %.3f ms, failures %d\n",
          exchanges, total / exchanges, times[times.size() / 2], times[times.size() * 9 / 10],
          times.back(), failures);
  return failures == 0 ? 0 : 1;
}
