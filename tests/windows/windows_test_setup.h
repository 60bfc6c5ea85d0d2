// What the Windows executable tests need from the machine, and how they react
// when it is missing: skipped where these tests are optional, failed where
// the build asked for them to run.
#ifndef VELKOR_TESTS_WINDOWS_WINDOWS_TEST_SETUP_H
#define VELKOR_TESTS_WINDOWS_WINDOWS_TEST_SETUP_H

#include <gtest/gtest.h>

#include <string>

#include "child_process.h"

#define SKIP_OR_FAIL_UNLESS(ready, why)    \
  do {                                     \
    if (!(ready)) {                        \
      if (VELKOR_WINDOWS_TESTS_REQUIRED) { \
        FAIL() << (why);                   \
      } else {                             \
        GTEST_SKIP() << (why);             \
      }                                    \
    }                                      \
  } while (0)

#endif  // VELKOR_TESTS_WINDOWS_WINDOWS_TEST_SETUP_H
