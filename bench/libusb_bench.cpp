// The libusb backend over the emulated usbfs: the time of one exchange (a
// write, and the handset's answer on a queued read) through the backend's
// sessions, and velkor's upload of a 100 000-byte image to the simulated
// handset on the emulated bus, as wall time over the protocol's floor (196
// chunks, each followed by a 10 ms pause), beside the same upload to the
// handset registered in the process. Run under umockdev-wrapper:
//   umockdev-wrapper build/tests/libusb/libusb_bench [exchanges] [uploads]
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "app/upload.h"
#include "emulated_bus.h"
#include "emulated_device.h"
#include "libusb_backend/backend.h"
#include "scripted_handset.h"
#include "sim/device.h"
#include "sim/loader.h"
#include "sim/register.h"
#include "transfer_probe.h"
#include "usb_bus.h"

namespace {

constexpr size_t kImageLength = 100000;
constexpr double kFloorSeconds = ((kImageLength + 511) / 512) * 0.010;

// One upload of `path` with standard output out of the way; the wall time,
// or a negative value when it failed or the image arrived wrong.
double TimedUpload(const char* path, const std::vector<uint8_t>& image, sim::Loader& loader) {
  fflush(stdout);
  const int saved = dup(1);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);
  const auto start = std::chrono::steady_clock::now();
  const int status = uploadCommand(path);
  fflush(stdout);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  dup2(saved, 1);
  close(saved);
  return status == 0 && loader.Image() == image ? wall : -1;
}

void Report(const char* what, std::vector<double> walls) {
  std::sort(walls.begin(), walls.end());
  const double median = walls[walls.size() / 2];
  fprintf(stderr,
          "upload of %zu bytes %s (%zu runs): median wall %.3f s, wall/floor %.3f "
          "(floor %.2f s), best %.3f, worst %.3f\n",
          kImageLength, what, walls.size(), median, median / kFloorSeconds, kFloorSeconds,
          walls.front(),
          walls.back());
}

int Uploads(int runs) {
  std::vector<uint8_t> image(kImageLength);
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<uint8_t>(i * 31 + 7);
  image[4] = 0x90;
  image[5] = 0;
  image[6] = 0;
  char path[] = "/tmp/velkor-libusb-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size())) {
    return 1;
  }
  close(fd);
  int failures = 0;
  std::vector<double> overUsb;
  std::vector<double> inProcess;
  for (int run = 0; run < runs; run++) {
    {
      usbfs::SimHandset handset;
      usbfs::EmulatedDevice usb(usbfs::TheBus(), 1, usbfs::NextAddress(), handset.device);
      const double wall = TimedUpload(path, image, *handset.loader);
      if (wall < 0) failures++;
      overUsb.push_back(wall);
      libusb_backend::Shutdown();
    }
    {
      usbfs::SimHandset handset;
      const int id = sim::RegisterHandset(handset.device);
      const double wall = TimedUpload(path, image, *handset.loader);
      if (wall < 0) failures++;
      inProcess.push_back(wall);
      sim::UnregisterHandset(id);
    }
  }
  unlink(path);
  Report("over the emulated usbfs", overUsb);
  Report("to the handset in the process", inProcess);
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (!usbfs::PreloadActive()) {
    fprintf(stderr, "run under umockdev-wrapper\n");
    return 77;
  }
  prctl(PR_SET_TIMERSLACK, 1UL);
  const int exchanges = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;
  const int uploads = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
  usbfs::Bus& bus = usbfs::TheBus();
  auto model = std::make_shared<usbfs::ScriptedHandset>(0xADDE, 0xEFBE);
  model->SetScript([](uint8_t, const std::string&) { return std::string("$ "); });
  int failures = 0;
  std::vector<double> times;
  {
    usbfs::EmulatedDevice device(bus, 1, usbfs::NextAddress(), model);
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
  failures += Uploads(uploads);
  return failures == 0 ? 0 : 1;
}
