// Runs one row of the fault matrix: a kv30sim with the row's fault, and the
// built velkor against it, checked with gtest assertions.
#ifndef VELKOR_TESTS_FAULTS_FAULT_RUNNER_H
#define VELKOR_TESTS_FAULTS_FAULT_RUNNER_H

#include "fault_table.h"

namespace faults {

// `slackMs` is added to the row's time bound, for a velkor that runs slower
// than the program itself (under valgrind).
void RunFaultRow(const FaultRow& row, int slackMs = 0);

}  // namespace faults

#endif
