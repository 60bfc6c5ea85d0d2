// The shell dialogues' response buffer: CTextCallback fed with arbitrary
// transfers (as the link's read worker feeds it, each in a zero-filled
// 4096-byte read buffer) between arbitrary calls of nextLine, matchLines and
// the waits.
//
// Input: a flags byte (bit 0: trace on), then operations, each a byte and
// what it needs: 0-3 a transfer (two-byte length, bytes), 4 nextLine,
// 5 matchLines, 6 waitFor, 7 waitForEither, 8 a 1 ms waitFor (the first
// one only; later ones wait 0 ms, to keep runs fast). Texts to look
// for are a byte naming one of the dialogue's answers, or a piece of input.
#include <string.h>
#include <windows.h>

#include <string>

#include "app/textcallback.h"
#include "app/trace.h"
#include "fuzz/fuzz_input.h"
#include "usbio/usbiobuffer.h"

namespace {

const DWORD kAreaSize = 4096;
const char* const kAnswers[] = {"user: ", "password: ", "$ ", "ok", "reset needed", ""};

// A text to look for: an answer of the dialogue, none, or a piece of input.
// `keep` holds a piece for as long as the text is used.
const char* Text(fuzzinput::Reader& in, std::string* keep) {
  uint8_t pick = in.Byte();
  const size_t answers = sizeof kAnswers / sizeof kAnswers[0];
  if (pick < answers) return kAnswers[pick];
  if (pick == answers) return NULL;
  *keep = in.Piece(16);
  keep->resize(strlen(keep->c_str()));  // a C string ends at its first zero
  return keep->c_str();
}

// What holds after every operation: the positions in order, a terminator
// before the write position, and the free part all zero (as far as one
// transfer and its terminator could have reached into it).
void CheckInvariants(const CTextCallback& callback) {
  DWORD write = callback.writePosition.load();
  DWORD read = callback.readPosition;
  FUZZ_CHECK(read <= write && write <= CTextCallback::bufferSize);
  FUZZ_CHECK(write == 0 || callback.response[write - 1] == 0);
  FUZZ_CHECK(read == 0 || callback.response[read - 1] == 0);
  DWORD end = write + kAreaSize + 1;
  if (end > CTextCallback::bufferSize) end = CTextCallback::bufferSize;
  for (DWORD i = write; i < end; i++) FUZZ_CHECK(callback.response[i] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzinput::QuietStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzinput::Reader in(data, size);
  traceEnabled = (in.Byte() & 1) != 0;
  CTextCallback callback;
  FUZZ_CHECK(callback.semaphore != NULL);
  static BYTE area[kAreaSize];
  CUsbIoBuffer buffer(area, kAreaSize);
  std::string first, second;
  bool waited = false;
  while (!in.empty()) {
    uint8_t op = in.Byte() % 9;
    DWORD read = callback.readPosition;
    DWORD write = callback.writePosition.load();
    if (op <= 3) {
      std::string transfer = in.Piece(kAreaSize);
      memset(area, 0, sizeof area);
      memcpy(area, transfer.data(), transfer.size());
      buffer.actualLength = static_cast<DWORD>(transfer.size());
      callback.onRecv(&buffer);
      // Stored whole with its terminator when it fits, else dropped.
      DWORD stored = callback.writePosition.load() - write;
      bool fits = !transfer.empty() && transfer.size() + 1 <= CTextCallback::bufferSize - write;
      FUZZ_CHECK(stored == (fits ? transfer.size() + 1 : 0));
      if (fits)
        FUZZ_CHECK(memcmp(callback.response + write, transfer.data(), transfer.size()) == 0);
    } else if (op == 4) {
      char* line = callback.nextLine();
      if (read == write) {
        FUZZ_CHECK(line == NULL);
      } else {
        // The chunk up to its terminator, cut at its first CR or LF.
        size_t chunk = strlen(callback.response + read) + 1;
        FUZZ_CHECK(line != NULL && callback.readPosition == read + chunk);
        size_t text = strcspn(callback.response + read, "\r\n");
        FUZZ_CHECK(strlen(line) == text && memcmp(line, callback.response + read, text) == 0);
        delete[] line;
      }
    } else if (op == 5 || op == 7) {
      const char* a = Text(in, &first);
      const char* b = Text(in, &second);
      int result = op == 5 ? callback.matchLines(a, b) : callback.waitForEither(a, b, 0);
      FUZZ_CHECK(result >= 0 && result <= 2);
      if (result == 0) FUZZ_CHECK(callback.readPosition == callback.writePosition.load());
      if (result == 1) FUZZ_CHECK(a != NULL);
      if (result == 2) FUZZ_CHECK(b != NULL);
    } else {
      const char* text = Text(in, &first);
      bool echo = (in.Byte() & 1) != 0;
      int ms = op == 8 && !waited ? 1 : 0;
      if (ms != 0) waited = true;
      int result = callback.waitFor(text, ms, echo);
      FUZZ_CHECK(result == 0 || (result == 1 && text != NULL));
    }
    CheckInvariants(callback);
  }
  traceEnabled = false;
  return 0;
}
