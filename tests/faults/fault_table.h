// The fault matrix: faults of the handset and of its transport, each a row
// run through kv30sim and the built velkor, with what velkor must print
// (byte for byte), its exit status, what the handset received and how long
// velkor may take to end.
#ifndef VELKOR_TESTS_FAULTS_FAULT_TABLE_H
#define VELKOR_TESTS_FAULTS_FAULT_TABLE_H

#include <cstddef>
#include <string>
#include <vector>

namespace faults {

// What has become of kv30sim when velkor has ended.
enum class HandsetEnd {
  kRuns,     // still serving; it ends with status 0 when asked to
  kStopped,  // stopped itself (SIGSTOP); it goes on when continued
  kKilled,   // died (SIGKILL)
};

struct FaultRow {
  std::string name;                  // the CTest case's name
  std::vector<std::string> options;  // kv30sim's; --log is added
  std::vector<std::string> args;     // velkor's words
  std::string input;                 // velkor's standard input (keys for interactive)
  std::string out;                   // what velkor prints after its banner
  int status = 0;                    // velkor's exit status
  // Beginnings of lines the handset's transcript must hold, in this order,
  // and beginnings no line may have.
  std::vector<std::string> received;
  std::vector<std::string> absent;
  int maxMs = 0;  // upper bound of velkor's run time
  HandsetEnd handset = HandsetEnd::kRuns;
  size_t imageSize = 0;  // bytes of the image kv30.bin (0: none)
};

const std::vector<FaultRow>& FaultTable();

}  // namespace faults

#endif
