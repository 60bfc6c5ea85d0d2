// The messages between velkor's driver stand-in and a kv30sim process.
//
// One Unix-domain stream connection carries one open handle. Every message is
// a frame: a 32-bit little-endian body length, then the body, whose first
// byte is the message type. The client opens with Hello and the server
// answers HelloReply; then the client sends control requests (one at a
// time), transfer submissions and cancellations, and the server answers
// control replies and completions. Both sides decode each frame with the
// checks below and close the connection on the first one that fails.
#ifndef VELKOR_REMOTE_WIRE_H
#define VELKOR_REMOTE_WIRE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace remote {

constexpr uint32_t kMagic = 0x3033564Bu;  // "KV30" on the wire
constexpr uint16_t kVersion = 1;
// Largest data block of one transfer or control request.
constexpr uint32_t kMaxData = 65536;
// Largest frame body: the biggest header plus kMaxData.
constexpr uint32_t kMaxBody = 32 + kMaxData;
// Transfers one connection may have pending at once.
constexpr uint32_t kMaxPending = 1024;

enum MessageType : uint8_t {
  kHello = 0x01,
  kControl = 0x02,
  kSubmit = 0x03,
  kCancel = 0x04,
  kHelloReply = 0x81,
  kControlReply = 0x82,
  kComplete = 0x83,
};

enum HelloMode : uint8_t {
  kProbe = 0,  // only asks who is there; no handle is opened
  kOpen = 1,   // opens a handle on the instance
};

enum ControlOp : uint8_t {
  kDriverInfo = 1,
  kGetDescriptor = 2,
  kGetConfiguration = 3,
  kSetConfiguration = 4,
  kBindEndpoint = 5,
  kAbortEndpoint = 6,
};

struct Hello {
  uint8_t mode = kProbe;
};

struct HelloReply {
  uint8_t opened = 0;               // probe: 1 always; open: 1 when the handle is open
  uint8_t interfaceClass[16] = {};  // the instance's interface class GUID, as in memory
};

// A control request; only the fields of its op are used.
struct Control {
  uint32_t id = 0;
  uint8_t op = 0;
  // kGetDescriptor
  uint32_t recipient = 0;
  uint8_t descriptorType = 0;
  uint8_t descriptorIndex = 0;
  uint16_t language = 0;
  uint32_t room = 0;  // bytes the caller can take, at most kMaxData
  // kSetConfiguration: the record; kBindEndpoint: the address
  std::vector<uint8_t> data;
  uint8_t address = 0;
};

struct ControlReply {
  uint32_t id = 0;
  uint8_t op = 0;
  uint32_t status = 0;
  std::vector<uint8_t>
      data;  // kDriverInfo: 12 bytes; kGetDescriptor: <= room; kGetConfiguration: 1
};

struct Submit {
  uint32_t id = 0;
  uint8_t endpoint = 0;       // bit 0x80 set for IN
  uint32_t length = 0;        // IN: room for the answer; OUT: data.size()
  std::vector<uint8_t> data;  // OUT only
};

struct Cancel {
  uint32_t id = 0;
};

struct Complete {
  uint32_t id = 0;
  uint32_t status = 0;
  uint32_t actual = 0;
  std::vector<uint8_t> data;  // IN only: exactly `actual` bytes
};

// Encoders: each returns the whole frame, length prefix included.
std::vector<uint8_t> Encode(const Hello& m);
std::vector<uint8_t> Encode(const HelloReply& m);
std::vector<uint8_t> Encode(const Control& m);
std::vector<uint8_t> Encode(const ControlReply& m);
std::vector<uint8_t> Encode(const Submit& m);
std::vector<uint8_t> Encode(const Cancel& m);
std::vector<uint8_t> Encode(const Complete& m);

// Reads the length prefix of a frame. False when the body length is 0 or
// above kMaxBody: the stream cannot be trusted any further.
bool DecodeLength(const uint8_t prefix[4], uint32_t* bodyLength);

// Decoders of one frame body (without the prefix). Each checks the type, the
// exact size for the fields present, the bounds of every length, and that no
// byte is left over; false on any fault, with the output unspecified.
bool Decode(const uint8_t* body, size_t size, Hello* m);
bool Decode(const uint8_t* body, size_t size, HelloReply* m);
bool Decode(const uint8_t* body, size_t size, Control* m);
// `expectedOp` and `room` are what the caller asked for: a reply to another
// op, or with more data than that op can carry, is refused.
bool Decode(const uint8_t* body, size_t size, uint8_t expectedOp, uint32_t room, ControlReply* m);
bool Decode(const uint8_t* body, size_t size, Submit* m);
bool Decode(const uint8_t* body, size_t size, Cancel* m);
// `in` and `length` are those of the submitted transfer the id names.
bool DecodeCompleteHeader(const uint8_t* body, size_t size, uint32_t* id);
bool Decode(const uint8_t* body, size_t size, bool in, uint32_t length, Complete* m);

// Writes a whole frame to a stream socket, waiting at most `timeoutMs` for
// room. False on any failure (the peer is gone or does not read).
bool WriteFrame(int fd, const std::vector<uint8_t>& frame, int timeoutMs);

// Reads one frame body. Result: 1 a body was read; 0 the peer closed the
// connection before a frame began; -1 a fault (bad length, cut-off frame,
// read error, or no complete frame within `timeoutMs` once it began; a
// negative `timeoutMs` waits as long as it takes).
int ReadFrame(int fd, std::vector<uint8_t>* body, int timeoutMs);

}  // namespace remote

#endif
