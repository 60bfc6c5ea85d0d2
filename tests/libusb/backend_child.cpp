// A second process using the libusb backend, for the tests of the emulated
// usbfs (which serves it from the test's process).
//   backend_child hold      open the first handset, say "open" (or "none"),
//                           keep it open until standard input ends
//   backend_child reads N   open it, queue N reads on 0x83, say "submitted",
//                           and exit with them pending; at exit, after the
//                           backend has shut down, say how they ended
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "libusb_backend/backend.h"

namespace {

std::atomic<int> completed{0};
std::atomic<uint32_t> lastStatus{0};
int submitted = 0;

class Read final : public usbdrv::Transfer {
 public:
  Read() {
    endpoint = 0x83;
    data = buffer_;
    length = sizeof buffer_;
  }
  void Complete(uint32_t status, uint32_t) override {
    lastStatus.store(status);
    completed.fetch_add(1);
  }

 private:
  uint8_t buffer_[4096];
};

void ReportAtExit() {
  printf("completed %d of %d, status %u\n", completed.load(), submitted, lastStatus.load());
  fflush(stdout);
}

}  // namespace

// What is left open at exit stays reachable here (external, so that the
// stores are kept).
usbdrv::Session* keptSession = nullptr;
std::vector<usbdrv::Transfer*>* keptReads = nullptr;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  // Registered before the backend starts, so that it runs after the
  // backend's own exit hook.
  atexit(ReportAtExit);
  std::vector<std::shared_ptr<usbdrv::Instance>> handsets = libusb_backend::ListHandsets();
  std::unique_ptr<usbdrv::Session> session = handsets.empty() ? nullptr : handsets[0]->Open();
  if (!session) {
    printf("none\n");
    fflush(stdout);
    // The session is kept to the end, as velkor keeps its link.
    return 1;
  }
  if (strcmp(argv[1], "hold") == 0) {
    printf("open\n");
    fflush(stdout);
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    return 0;
  }
  if (strcmp(argv[1], "reads") == 0 && argc > 2) {
    if (session->BindEndpoint(0x83) != 0) return 3;
    submitted = atoi(argv[2]);
    keptReads = new std::vector<usbdrv::Transfer*>;
    for (int i = 0; i < submitted; i++) {
      keptReads->push_back(new Read);
      session->Submit(keptReads->back());
    }
    printf("submitted\n");
    fflush(stdout);
    keptSession = session.release();  // left open, as velkor leaves its link receiving
    return 0;
  }
  return 2;
}
