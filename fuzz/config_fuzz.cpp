// The config command's option parser and line builder: parseConfigOptions
// with arbitrary option words.
//
// Input: a flags byte (bit 0: trace on), then the words, separated by zero
// bytes.
#include <string.h>

#include <string>
#include <vector>

#include "app/configoptions.h"
#include "app/trace.h"
#include "fuzz/fuzz_input.h"

namespace {

const size_t kMaxWords = 256;

// A line as built: its start, then " option value" pieces, then CR LF; all of
// it, with a terminating zero, inside the buffer.
void CheckLine(const ConfigLine& line, const char* start) {
  FUZZ_CHECK(line.length >= 2 && line.length <= ConfigLine::size - 1);
  FUZZ_CHECK(memchr(line.text, 0, ConfigLine::size) == line.text + line.length);
  FUZZ_CHECK(strncmp(line.text, start, strlen(start)) == 0);
  FUZZ_CHECK(line.text[line.length - 2] == '\r' && line.text[line.length - 1] == '\n');
}

bool InWords(const std::vector<std::vector<char>>& words, const char* text) {
  for (const std::vector<char>& w : words)
    if (text >= w.data() && text < w.data() + w.size()) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzinput::QuietStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzinput::Reader in(data, size);
  traceEnabled = (in.Byte() & 1) != 0;
  std::vector<std::string> words = fuzzinput::Words(in.Rest());
  if (words.size() > kMaxWords) words.resize(kMaxWords);
  fuzzinput::WritableWords args(words);

  ConfigRequest request;
  memset(&request, 0x5A, sizeof request);  // nothing may be left unset
  int result = parseConfigOptions(args.count(), args.argv.data(), &request);
  FUZZ_CHECK(result == 0 || result == 1);
  if (result == 0) {
    CheckLine(request.wlan, "config change WLANMGR0");
    FUZZ_CHECK(request.sendPhone == true || request.sendPhone == false);
    if (request.sendPhone) CheckLine(request.phone, "config change PHONE SIG");
    // The login pair is the default one, or lies in the words (a value
    // without a comma gives an empty password).
    FUZZ_CHECK(InWords(args.storage, request.user) || strcmp(request.user, "admin") == 0);
    FUZZ_CHECK(InWords(args.storage, request.password) || strcmp(request.password, "kv30") == 0 ||
               request.password[0] == 0);
  }
  traceEnabled = false;
  return 0;
}
