// The messages between velkor's driver stand-in and a kv30sim process, and
// their encoding.
//
// One Unix-domain stream connection carries one open handle. Every message is
// a frame (frame.h) whose body's first byte is the message type. The client
// opens with Hello and the server answers HelloReply; then the client sends
// control requests (one at a time), transfer submissions, cancellations and
// aborts, and the server answers control replies and completions. Requests
// carry the typed values of the device interface, never the driver's own
// records. Both sides decode each frame with the checks below and close the
// connection on the first one that fails.
#ifndef VELKOR_SIMWIRE_CODEC_H
#define VELKOR_SIMWIRE_CODEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "usbdrv/device.h"

namespace simwire {

constexpr uint32_t kMagic = 0x3033564Bu;  // "KV30" on the wire
constexpr uint16_t kVersion = 2;
// Largest data block of one transfer or descriptor.
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
  kAbort = 0x05,
  kHelloReply = 0x81,
  kControlReply = 0x82,
  kComplete = 0x83,
};

enum HelloMode : uint8_t {
  kProbe = 0,  // only asks who is there; no handle is opened
  kOpen = 1,   // opens a handle on the instance
};

enum ControlOp : uint8_t {
  kGetDescriptor = 2,
  kGetConfiguration = 3,
  kSetConfiguration = 4,
  kBindEndpoint = 5,
};

struct Hello {
  uint8_t mode = kProbe;
};

struct HelloReply {
  uint8_t opened = 0;  // probe: 1 always; open: 1 when the handle is open
  usbdrv::InterfaceClass interfaceClass = {};
  uint16_t interfaceVersion = usbdrv::kInterfaceVersion;  // of the opened handle
};

// A control request; only the fields of its op are used.
struct Control {
  uint32_t id = 0;
  uint8_t op = 0;
  usbdrv::DescriptorRequest descriptor;  // kGetDescriptor
  uint32_t room = 0;                     // kGetDescriptor: bytes the caller takes, <= kMaxData
  usbdrv::ConfigurationRequest configuration;  // kSetConfiguration
  uint8_t address = 0;                         // kBindEndpoint
};

struct ControlReply {
  uint32_t id = 0;
  uint8_t op = 0;
  uint32_t status = 0;
  std::vector<uint8_t> data;  // kGetDescriptor: <= room; kGetConfiguration: 1
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

// Ends every pending transfer of the handle.
struct Abort {};

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
std::vector<uint8_t> Encode(const Abort& m);
std::vector<uint8_t> Encode(const Complete& m);

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
bool Decode(const uint8_t* body, size_t size, Abort* m);
// `in` and `length` are those of the submitted transfer the id names.
bool DecodeCompleteHeader(const uint8_t* body, size_t size, uint32_t* id);
bool Decode(const uint8_t* body, size_t size, bool in, uint32_t length, Complete* m);

}  // namespace simwire

#endif
