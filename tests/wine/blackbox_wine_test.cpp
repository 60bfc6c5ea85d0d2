// The black-box handset table, unchanged, against velkor.exe and kv30sim.exe
// under Wine through the test kernel driver; and what lies outside the
// table: no handset at all, and kv30sim.exe ended in the middle of an
// upload. After every velkor run the driver must hold no request of velkor's
// handles.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "handset_table.h"

namespace blackbox {
namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

WineBenchSetup BenchSetup() {
  WineBenchSetup setup;
  setup.script = VELKOR_WINE_BENCH_SCRIPT;
  setup.benchFolder = VELKOR_WINE_BENCH_FOLDER;
  setup.velkorExe = VELKOR_WIN64_EXE;
  setup.winbenchBuild = VELKOR_WINBENCH_BUILD;
  setup.runInPrefix = VELKOR_RUN_IN_PREFIX;
  return setup;
}

// Skipped (or failed, where the build asks for these tests) when the bench
// is missing a part.
#define REQUIRE_WINE_BENCH()                                                              \
  do {                                                                                    \
    const WineBenchSetup setup = BenchSetup();                                            \
    std::string missing;                                                                  \
    if (!Exists(setup.benchFolder + "/wine-prefix/velkorbench-ready"))                    \
      missing = "the bench prefix (see the WineBench.Setup test)";                        \
    else if (!Exists(setup.velkorExe))                                                    \
      missing = setup.velkorExe;                                                          \
    else if (!Exists(setup.winbenchBuild + "/sim/kv30sim/kv30sim.exe"))                   \
      missing = "kv30sim.exe in " + setup.winbenchBuild;                                  \
    if (!missing.empty()) {                                                               \
      if (VELKOR_WINDOWS_TESTS_REQUIRED) FAIL() << "missing: " << missing;                \
      GTEST_SKIP() << "missing: " << missing << " (build with scripts/build-windows.sh)"; \
    }                                                                                     \
  } while (0)

class HandsetTableWine : public ::testing::TestWithParam<HandsetCase> {};

TEST_P(HandsetTableWine, RunsAsTheRowSays) {
  REQUIRE_WINE_BENCH();
  std::unique_ptr<Bench> bench = MakeWineBench(BenchSetup());
  RunCase(*bench, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, HandsetTableWine, ::testing::ValuesIn(HandsetTable()), CaseName());

TEST(WineBench, WithoutKv30simTheHandsetIsNotFound) {
  REQUIRE_WINE_BENCH();
  std::unique_ptr<Bench> bench = MakeWineBench(BenchSetup());
  const std::vector<std::vector<std::string>> runs = {{"login"},
                                                      {"command", "config", "show"},
                                                      {"config", "/ssid", "x"},
                                                      {"upload", "missing.bin"}};
  for (const auto& args : runs) {
    const VelkorRun run = bench->Velkor(args, 30000);
    EXPECT_EQ(std::string(kBanner) + kNotFound, run.out) << args[0];
    EXPECT_EQ(1, run.status) << args[0];
  }
}

// kv30sim.exe ending in the middle of an upload, killed or stopped: to
// velkor.exe the handset is pulled out, and the upload ends within its
// time-outs.
class EndedDuringAnUpload : public ::testing::TestWithParam<bool> {};

TEST_P(EndedDuringAnUpload, VelkorEndsWithAnErrorInTime) {
  REQUIRE_WINE_BENCH();
  const bool killed = GetParam();
  std::unique_ptr<Bench> bench = MakeWineBench(BenchSetup());
  WriteFile(bench->File("kv30.bin"), Image(64 * 1024));
  std::string error;
  ASSERT_TRUE(bench->StartHandset({"--ack-delay", "20", "--log", bench->File("log")}, &error))
      << error;
  VelkorRun run;
  std::thread velkor([&] { run = bench->Velkor({"upload", "kv30.bin"}, 60000); });
  // End kv30sim.exe once some chunks went through.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  size_t chunks = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string log = ReadFile(bench->File("log"));
    chunks = 0;
    for (size_t at = log.find("OUT 07 512 "); at != std::string::npos;
         at = log.find("OUT 07 512 ", at + 1)) {
      chunks++;
    }
    if (chunks >= 10) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GE(chunks, 10u);
  const auto ending = std::chrono::steady_clock::now();
  if (killed) {
    bench->KillHandset();
  } else {
    EXPECT_EQ(0, bench->StopHandset(&error)) << "kv30sim.exe stopped with a handle open";
  }
  velkor.join();
  const auto ended = std::chrono::steady_clock::now();
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(2, run.status);
  // Within its time-outs: 2000 ms for an acknowledgement, with room to spare.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - ending).count(), 8000);
  // The upload ends with one error line, after the last progress line.
  const size_t errorLine = run.out.rfind("Error: ");
  ASSERT_NE(std::string::npos, errorLine) << run.out;
  EXPECT_EQ(run.out.size() - 1, run.out.find('\n', errorLine)) << run.out;
  EXPECT_EQ(std::string::npos, run.out.find('\r', errorLine)) << run.out;
}

INSTANTIATE_TEST_SUITE_P(KilledOrStopped, EndedDuringAnUpload, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Killed" : "Stopped");
                         });

}  // namespace
}  // namespace blackbox
