// The handset table against velkor and kv30sim built for this host.
#include <gtest/gtest.h>

#include "handset_table.h"

namespace blackbox {
namespace {

class HandsetTableLocal : public ::testing::TestWithParam<HandsetCase> {};

TEST_P(HandsetTableLocal, RunsAsTheRowSays) {
  std::unique_ptr<Bench> bench = MakeLocalBench();
  RunCase(*bench, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, HandsetTableLocal, ::testing::ValuesIn(HandsetTable()),
                         CaseName());

}  // namespace
}  // namespace blackbox
