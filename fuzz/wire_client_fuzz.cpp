// The wire protocol as velkor reads it: a connection's byte stream from
// kv30sim's side, framed and decoded as the client does (the greeting's
// answer, control replies, completions), against the request the client
// has outstanding. A body that decodes must encode back to the same bytes.
//
// Input: the outstanding request (control op byte, room as four bytes, a
// byte whose bit 0 makes the pending transfer an IN one, its length as four
// bytes), then the stream.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/wire_stream.h"
#include "simwire/codec.h"

using namespace simwire;

namespace {

uint32_t U32(fuzzinput::Reader& in) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(in.Byte()) << (8 * i);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzinput::Reader in(data, size);
  const uint8_t op = in.Byte();
  const uint32_t room = U32(in) % (kMaxData + 1);
  const bool inTransfer = (in.Byte() & 1) != 0;
  const uint32_t length = U32(in) % (kMaxData + 1);
  fuzzinput::ForEachFrame(in.Rest(), [&](const std::vector<uint8_t>& body) {
    const uint8_t* p = body.data();
    const size_t n = body.size();
    switch (body[0]) {
      case kHelloReply: {
        HelloReply m;
        if (Decode(p, n, &m)) {
          FUZZ_CHECK(m.opened <= 1);
          FUZZ_CHECK(fuzzinput::SameFrame(Encode(m), body));
        }
        break;
      }
      case kControlReply: {
        ControlReply m;
        if (Decode(p, n, op, room, &m)) {
          FUZZ_CHECK(m.op == op);
          // Never more data than the request can take.
          const uint32_t most = op == kGetDescriptor ? room : (op == kGetConfiguration ? 1u : 0u);
          FUZZ_CHECK(m.data.size() <= most);
          FUZZ_CHECK(fuzzinput::SameFrame(Encode(m), body));
        }
        break;
      }
      case kComplete: {
        uint32_t id = 0;
        Complete m;
        if (DecodeCompleteHeader(p, n, &id) && Decode(p, n, inTransfer, length, &m)) {
          FUZZ_CHECK(m.id == id && m.actual <= length);
          // The bytes the client copies into the transfer's buffer fit it.
          FUZZ_CHECK(m.data.size() == (inTransfer ? m.actual : 0));
          FUZZ_CHECK(fuzzinput::SameFrame(Encode(m), body));
        }
        break;
      }
      default:
        break;
    }
  });
  return 0;
}
