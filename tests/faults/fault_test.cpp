// Runs each row of the fault matrix: a kv30sim with the row's fault, and the
// built velkor against it, as a user runs them.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "fault_runner.h"
#include "fault_table.h"

namespace faults {

void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

namespace {

class FaultMatrix : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultMatrix, VelkorEndsAsTheRowSays) { RunFaultRow(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(FaultTable()),
                         [](const ::testing::TestParamInfo<FaultRow>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace faults
