// Uploads a 1 MiB image to the simulated handset, whose loader answers at
// once, and prints the wall time, the process's CPU time and the ratio of the
// wall time to the protocol's floor: 2048 chunks, each followed by a 10 ms
// pause.
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/upload.h"
#include "sim/device.h"
#include "sim/loader.h"
#include "sim/register.h"

namespace {

const size_t kImageLength = 1024 * 1024;
const double kFloorSeconds = (kImageLength / 512) * 0.010;

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 1;
  if (runs < 1) runs = 1;

  std::vector<uint8_t> image(kImageLength);
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<uint8_t>(i * 31 + 7);
  image[4] = 0x90;
  image[5] = 0;
  image[6] = 0;
  char path[] = "/tmp/velkor-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size())) {
    fprintf(stderr, "cannot write the image\n");
    return 1;
  }
  close(fd);

  int failures = 0;
  for (int run = 0; run < runs; run++) {
    auto device = std::make_shared<sim::Device>();
    auto loader = std::make_shared<sim::Loader>();
    device->SetFunction(7, loader);
    int id = sim::RegisterHandset(device);

    // The progress lines go nowhere; the figures go to standard error.
    fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);

    double cpuStart = cpuSeconds();
    auto wallStart = std::chrono::steady_clock::now();
    int status = uploadCommand(path);
    fflush(stdout);
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    double cpu = cpuSeconds() - cpuStart;

    dup2(saved, 1);
    close(saved);
    bool same = loader->Image() == image;
    sim::UnregisterHandset(id);
    if (status != 0 || !same) failures++;
    fprintf(stderr,
            "upload of %zu bytes: status %d, image %s, wall %.3f s, cpu %.3f s, "
            "wall/floor %.3f (floor %.2f s)\n",
            kImageLength, status, same ? "received whole" : "DIFFERS", wall, cpu,
            wall / kFloorSeconds, kFloorSeconds);
  }
  unlink(path);
  return failures == 0 ? 0 : 1;
}
