// The wire protocol as kv30sim reads it: a connection's byte stream from
// velkor's side, framed and decoded as the server's connection does (a
// greeting, then control requests, submissions, cancellations and aborts).
// A body that decodes must encode back to the same bytes.
//
// Input: the stream.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/wire_stream.h"
#include "simwire/codec.h"

using namespace simwire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzinput::Reader in(data, size);
  fuzzinput::ForEachFrame(in.Rest(), [](const std::vector<uint8_t>& body) {
    const uint8_t* p = body.data();
    const size_t n = body.size();
    switch (body[0]) {
      case kHello: {
        Hello m;
        if (Decode(p, n, &m)) FUZZ_CHECK(fuzzinput::SameFrame(Encode(m), body));
        break;
      }
      case kControl: {
        Control m;
        if (Decode(p, n, &m)) {
          FUZZ_CHECK(m.op != kGetDescriptor || m.room <= kMaxData);
          FUZZ_CHECK(fuzzinput::SameFrame(Encode(m), body));
        }
        break;
      }
      case kSubmit: {
        Submit m;
        if (Decode(p, n, &m)) {
          FUZZ_CHECK(m.length <= kMaxData);
          FUZZ_CHECK((m.endpoint & 0x80) ? m.data.empty() : m.data.size() == m.length);
          FUZZ_CHECK(fuzzinput::SameFrame(Encode(m), body));
        }
        break;
      }
      case kCancel: {
        Cancel m;
        if (Decode(p, n, &m)) FUZZ_CHECK(fuzzinput::SameFrame(Encode(m), body));
        break;
      }
      case kAbort: {
        Abort m;
        if (Decode(p, n, &m)) FUZZ_CHECK(fuzzinput::SameFrame(Encode(m), body));
        break;
      }
      default:
        break;
    }
  });
  return 0;
}
