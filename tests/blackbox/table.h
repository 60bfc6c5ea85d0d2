// Rows of velkor runs against one simulated handset, and how a row is run
// and judged on a bench: standard output byte for byte, exit status, time,
// and what the handset received.
#ifndef VELKOR_TESTS_BLACKBOX_TABLE_H
#define VELKOR_TESTS_BLACKBOX_TABLE_H

#include <cstddef>
#include <string>
#include <vector>

#include "bench.h"

namespace blackbox {

extern const char kBanner[];     // velkor's first line
extern const char kNotFound[];   // no handset, without a line end

// One velkor run: its words, what it prints after the banner, its status.
struct Step {
  std::vector<std::string> args;
  std::string out;
  int status;
};

struct HandsetCase {
  std::string name;                  // the CTest case's name
  std::vector<std::string> options;  // kv30sim's; --log, --image and --settings are added
  std::vector<Step> steps;           // run one after the other against one handset
  // Beginnings of lines the handset's transcript must hold, in this order
  // (other lines may lie between them).
  std::vector<std::string> received;
  // The handset's stored settings after the last step, one per line; not
  // checked when empty.
  std::string settings;
  // Bytes of the firmware image kv30.bin written into the work folder (0:
  // none). After a successful upload the handset must have received it.
  size_t imageSize = 0;
  // Upper bound of each step's run time.
  int maxMs = 20000;
};

// A firmware image of `size` bytes: byte 4 is 0x90, bytes 5 and 6 are 0.
std::string Image(size_t size);

// Runs the row on the bench and checks it with gtest assertions.
void RunCase(Bench& bench, const HandsetCase& row);

// The row's name, for INSTANTIATE_TEST_SUITE_P.
struct CaseName {
  template <class Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

}  // namespace blackbox

#endif
