// The 64-bit twin of velkor.exe run under Wine's 64-bit loader: the command
// line, the usage text and the exit statuses of the real Windows build, and
// the handset reported missing because Wine's setup API lists no interface of
// the handset's class. Output is compared byte for byte after turning the C
// run-time's CR LF line ends into LF.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "child_process.h"
#include "windows_test_setup.h"

namespace {

const std::string kBanner = "velkor 1.4 [08-60030]\n";
const std::string kUsageMarker = "<usage>";
const std::string kNotFound = "KV30 not found.";

struct SmokeCase {
  const char* name;
  std::vector<std::string> words;
  std::string expectedAfterBanner;  // kUsageMarker stands for the usage text
  int expectedStatus;
};

// CTest names each case after this.
void PrintTo(const SmokeCase& smoke, std::ostream* os) { *os << smoke.name; }

const SmokeCase kCases[] = {
    {"help", {"help"}, kUsageMarker, 0},
    {"no_words", {}, "", 0},
    {"trace_alone", {"/trace"}, "", 0},
    {"unrecognized_word", {"Help"}, "velkor: unrecognized command: Help\n", 1},
    {"upload_without_file", {"upload"}, "velkor: missing filename.\n", 1},
    {"config_without_words", {"config"}, "velkor: missing filename.\n", 1},
    {"command_without_words", {"command"}, "velkor: missing further params for command.\n", 1},
    {"upload_file", {"upload", "x.bin"}, kNotFound, 1},
    {"login", {"login"}, kNotFound, 1},
    {"command_config_show", {"command", "config", "show"}, kNotFound, 1},
    {"config_ssid", {"config", "/ssid", "x"}, kNotFound, 1},
    {"interactive", {"interactive"}, kNotFound, 1},
};

// The prefix is made by the fixture test that runs before these (see
// winbench/bench-prefix.sh), which leaves this file behind once Wine answered.
const std::string kReadyMarker = std::string(VELKOR_WINE_PREFIX) + "/velkorbench-ready";

class VelkorUnderWine : public ::testing::TestWithParam<SmokeCase> {
 protected:
  void SetUp() override {
    SKIP_OR_FAIL_UNLESS(isExecutableFile(VELKOR_WINE64),
                        std::string("Wine cannot run here: no 64-bit loader at ") + VELKOR_WINE64 +
                            " (install Debian's wine64)");
    SKIP_OR_FAIL_UNLESS(isRegularFile(VELKOR_WIN64_EXE),
                        std::string("no 64-bit velkor.exe at ") + VELKOR_WIN64_EXE +
                            " (build it with scripts/build-windows.sh)");
    SKIP_OR_FAIL_UNLESS(isRegularFile(kReadyMarker),
                        "Wine cannot run here: the prefix " + std::string(VELKOR_WINE_PREFIX) +
                            " was not set up (see the WindowsWinePrefix.Setup test)");
  }
};

TEST_P(VelkorUnderWine, PrintsAndExits) {
  const SmokeCase& smoke = GetParam();
  std::string expected = kBanner;
  if (smoke.expectedAfterBanner == kUsageMarker) {
    std::string usage;
    ASSERT_TRUE(readWholeFile(VELKOR_USAGE_FILE, &usage)) << VELKOR_USAGE_FILE;
    ASSERT_FALSE(usage.empty());
    expected += usage;
  } else {
    expected += smoke.expectedAfterBanner;
  }

  std::vector<std::string> argv = {VELKOR_WINE64, VELKOR_WIN64_EXE};
  argv.insert(argv.end(), smoke.words.begin(), smoke.words.end());
  ChildResult run = runChild(argv,
                             {{"WINEPREFIX", VELKOR_WINE_PREFIX},
                              {"WINESERVER", VELKOR_WINESERVER},
                              {"WINEDEBUG", "-all"},
                              {"WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d"},
                              {"DISPLAY", ""},
                              {"WAYLAND_DISPLAY", ""}},
                             60000);
  ASSERT_TRUE(run.started) << VELKOR_WINE64;
  ASSERT_FALSE(run.timedOut) << "still running after 60 s; output so far: " << run.out;
  EXPECT_EQ(crlfToLf(run.out), expected);
  EXPECT_EQ(run.exitStatus, smoke.expectedStatus);
  // The program prints nothing to standard error, and Wine's own messages
  // are silenced.
  EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(WindowsWine, VelkorUnderWine, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SmokeCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
