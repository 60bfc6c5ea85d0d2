// kv30sim's option parser: ParseOptions with arbitrary words. Words are
// taken or refused with a one-line message, and what is taken is within the
// options' bounds.
//
// Input: the words, separated by zero bytes.
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "sim/kv30sim/options.h"

namespace {

const size_t kMaxWords = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzinput::Reader in(data, size);
  std::vector<std::string> words = fuzzinput::Words(in.Rest());
  if (words.size() > kMaxWords) words.resize(kMaxWords);
  kv30sim::Options options;
  std::string error;
  if (!kv30sim::ParseOptions(words, &options, &error)) {
    FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
    return 0;
  }
  // The socket's name stays a plain file name in the kv30sim folder.
  FUZZ_CHECK(!options.name.empty() && options.name.find('/') == std::string::npos &&
             options.name[0] != '.');
  FUZZ_CHECK(options.answerDelayMs <= 600000 && options.ackDelayMs <= 600000);
  FUZZ_CHECK(options.readErrors.find_first_not_of("ep") == std::string::npos);
  FUZZ_CHECK(options.trip == kv30sim::Options::kTripNone ||
             options.trip == kv30sim::Options::kTripStop ||
             options.trip == kv30sim::Options::kTripKill);
  for (const auto& delayed : options.delayedAcks) FUZZ_CHECK(delayed.second <= 600000);
  return 0;
}
