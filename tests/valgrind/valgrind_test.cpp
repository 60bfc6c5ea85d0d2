// velkor under valgrind's memcheck: a subset of the handset table and of the
// fault matrix, each row run as the black-box runners run it, with velkor in
// memcheck. A memory error or a lost block fails the row (velkor then ends
// with status 99 and a report on standard error). Skipped where valgrind is
// not installed.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "fault_runner.h"
#include "fault_table.h"
#include "handset_table.h"

namespace {

// Time valgrind adds to a run of velkor (its start-up above all).
const int kValgrindSlackMs = 8000;

bool ValgrindInstalled() { return system("valgrind --version >/dev/null 2>&1") == 0; }

void UseValgrind() {
  setenv("VELKOR_VALGRIND_PROGRAM", VELKOR_PROGRAM, 1);
  setenv("VELKOR_VALGRIND_SUPPRESSIONS", VELKOR_SUPPRESSIONS, 1);
}

template <class Row>
std::vector<Row> Pick(const std::vector<Row>& all, const std::vector<std::string>& names) {
  std::vector<Row> picked;
  for (const std::string& name : names) {
    auto it = std::find_if(all.begin(), all.end(), [&](const Row& r) { return r.name == name; });
    if (it != all.end()) picked.push_back(*it);
  }
  return picked;
}

// Every command, its success and its main failures.
std::vector<blackbox::HandsetCase> HandsetRows() {
  std::vector<blackbox::HandsetCase> rows = Pick(
      blackbox::HandsetTable(),
      {"UsageExample1Config", "UsageExample2Upload", "UsageExample4ConfigLoginCommand",
       "WrongPassword", "DroppedAcknowledgement", "OtherInterfaceVersion", "SilentShellCommand"});
  for (blackbox::HandsetCase& row : rows) row.maxMs += kValgrindSlackMs;
  return rows;
}

// The transport's faults, a stalled write and the interactive terminal.
std::vector<faults::FaultRow> FaultRows() {
  return Pick(faults::FaultTable(),
              {"StoppedDuringLogin", "KilledDuringUpload", "StoppedDuringInteractive",
               "ReadErrorsAboveTheLimit", "GarbageOnTheSocketDuringUpload",
               "SocketClosedDuringLogin", "UnopenableInstanceBeforeTheHandset"});
}

class HandsetUnderValgrind : public ::testing::TestWithParam<blackbox::HandsetCase> {};

TEST_P(HandsetUnderValgrind, RunsCleanly) {
  if (!ValgrindInstalled()) GTEST_SKIP() << "valgrind is not installed";
  UseValgrind();
  std::unique_ptr<blackbox::Bench> bench = blackbox::MakeLocalBench();
  blackbox::RunCase(*bench, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, HandsetUnderValgrind, ::testing::ValuesIn(HandsetRows()),
                         blackbox::CaseName());

class FaultUnderValgrind : public ::testing::TestWithParam<faults::FaultRow> {};

TEST_P(FaultUnderValgrind, RunsCleanly) {
  if (!ValgrindInstalled()) GTEST_SKIP() << "valgrind is not installed";
  UseValgrind();
  faults::RunFaultRow(GetParam(), kValgrindSlackMs);
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultUnderValgrind, ::testing::ValuesIn(FaultRows()),
                         [](const ::testing::TestParamInfo<faults::FaultRow>& info) {
                           return info.param.name;
                         });

}  // namespace

namespace blackbox {
void PrintTo(const HandsetCase& row, std::ostream* out) { *out << row.name; }
}  // namespace blackbox
namespace faults {
void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }
}  // namespace faults
