// The command-line scan: velkorMain with arbitrary words and no handset, so
// that every command it reaches ends at "KV30 not found.".
//
// Input: the words, separated by zero bytes.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/main.h"
#include "app/trace.h"
#include "fuzz/fuzz_input.h"

namespace {

const size_t kMaxWords = 64;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzinput::QuietStdout();
  // No simulated handset of another process may answer: an empty folder of
  // our own.
  char folder[] = "/tmp/velkor-fuzz-XXXXXX";
  if (mkdtemp(folder) != NULL) setenv("KV30SIM_DIR", folder, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzinput::Reader in(data, size);
  std::vector<std::string> words = fuzzinput::Words(in.Rest());
  if (words.size() > kMaxWords) words.resize(kMaxWords);
  words.insert(words.begin(), "velkor");
  fuzzinput::WritableWords args(words);
  traceEnabled = false;
  int status = velkorMain(args.count(), args.argv.data());
  // Without a handset nothing can fail during an exchange (status 2).
  FUZZ_CHECK(status == 0 || status == 1);
  traceEnabled = false;
  return 0;
}
