// The main of the tests that run against the emulated usbfs: without
// umockdev's preload library they cannot run, and say so with CTest's skip
// code instead of passing.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/prctl.h>

#include "emulated_bus.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!testing::GTEST_FLAG(list_tests) && !usbfs::PreloadActive()) {
#ifdef VELKOR_LIBUSB_TESTS_REQUIRED
    printf("FAILED: these tests run under umockdev-wrapper, which is required here\n");
    return 1;
#else
    printf("SKIPPED: these tests run under umockdev-wrapper\n");
    return 77;
#endif
  }
  // The preload sleeps briefly after every emulated request; with the
  // default 50 us timer slack that sleep would dominate a transfer's time.
  // Threads and child processes inherit the setting.
  prctl(PR_SET_TIMERSLACK, 1UL);
  return RUN_ALL_TESTS();
}
