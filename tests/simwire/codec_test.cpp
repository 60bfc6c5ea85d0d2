#include "simwire/codec.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "simwire/frame.h"

namespace simwire {
namespace {

std::vector<uint8_t> Body(const std::vector<uint8_t>& frame) {
  return std::vector<uint8_t>(frame.begin() + 4, frame.end());
}

TEST(WireCodec, MessagesRoundTrip) {
  Control c;
  c.id = 7;
  c.op = kGetDescriptor;
  c.descriptor.recipient = 0;
  c.descriptor.type = 1;
  c.descriptor.index = 2;
  c.descriptor.language = 0x0409;
  c.room = 18;
  std::vector<uint8_t> frame = Encode(c);
  uint32_t n = 0;
  ASSERT_TRUE(DecodeLength(frame.data(), &n));
  EXPECT_EQ(frame.size() - 4, n);
  Control d;
  std::vector<uint8_t> body = Body(frame);
  ASSERT_TRUE(Decode(body.data(), body.size(), &d));
  EXPECT_EQ(7u, d.id);
  EXPECT_EQ(kGetDescriptor, d.op);
  EXPECT_EQ(1, d.descriptor.type);
  EXPECT_EQ(2, d.descriptor.index);
  EXPECT_EQ(0x0409, d.descriptor.language);
  EXPECT_EQ(18u, d.room);

  Control set;
  set.id = 8;
  set.op = kSetConfiguration;
  set.configuration.configurationIndex = 1;
  set.configuration.interfaces = {{0, 0, 4096}, {2, 1, 0x10203040}};
  body = Body(Encode(set));
  Control got;
  ASSERT_TRUE(Decode(body.data(), body.size(), &got));
  EXPECT_EQ(1, got.configuration.configurationIndex);
  ASSERT_EQ(2u, got.configuration.interfaces.size());
  EXPECT_EQ(2, got.configuration.interfaces[1].interfaceNumber);
  EXPECT_EQ(1, got.configuration.interfaces[1].alternateSetting);
  EXPECT_EQ(0x10203040u, got.configuration.interfaces[1].maximumTransferSize);

  Submit s;
  s.id = 9;
  s.endpoint = 0x03;
  s.data = {'a', 'b', 0, 'c'};
  s.length = 4;
  body = Body(Encode(s));
  Submit t;
  ASSERT_TRUE(Decode(body.data(), body.size(), &t));
  EXPECT_EQ(9u, t.id);
  EXPECT_EQ(0x03, t.endpoint);
  EXPECT_EQ(s.data, t.data);

  Complete m;
  m.id = 9;
  m.status = 995;
  m.actual = 3;
  m.data = {1, 2, 3};
  body = Body(Encode(m));
  uint32_t id = 0;
  ASSERT_TRUE(DecodeCompleteHeader(body.data(), body.size(), &id));
  EXPECT_EQ(9u, id);
  Complete k;
  ASSERT_TRUE(Decode(body.data(), body.size(), true, 4096, &k));
  EXPECT_EQ(995u, k.status);
  EXPECT_EQ(m.data, k.data);

  ControlReply r;
  r.id = 3;
  r.op = kGetDescriptor;
  r.data.assign(12, 0xAB);
  body = Body(Encode(r));
  ControlReply q;
  ASSERT_TRUE(Decode(body.data(), body.size(), kGetDescriptor, 18, &q));
  EXPECT_EQ(r.data, q.data);

  HelloReply h;
  h.opened = 1;
  h.interfaceClass = {0x3B7D51E2, 0x9C04, 0x4A6F, {0xB8, 0x12, 0x6E, 0x0D, 0x2C, 0x9F, 0x7A, 0x35}};
  h.interfaceVersion = 0x0201;
  body = Body(Encode(h));
  HelloReply g;
  ASSERT_TRUE(Decode(body.data(), body.size(), &g));
  EXPECT_TRUE(g.interfaceClass == h.interfaceClass);
  EXPECT_EQ(0x0201, g.interfaceVersion);

  Abort a;
  body = Body(Encode(a));
  Abort b;
  EXPECT_TRUE(Decode(body.data(), body.size(), &b));
  body.push_back(0);
  EXPECT_FALSE(Decode(body.data(), body.size(), &b)) << "an abort carries nothing";
}

TEST(WireCodec, LengthPrefixBounds) {
  struct Case {
    uint32_t length;
    bool ok;
  } cases[] = {
      {0, false}, {1, true}, {kMaxBody, true}, {kMaxBody + 1, false}, {0xFFFFFFFFu, false}};
  for (const Case& c : cases) {
    uint8_t prefix[4] = {static_cast<uint8_t>(c.length), static_cast<uint8_t>(c.length >> 8),
                         static_cast<uint8_t>(c.length >> 16),
                         static_cast<uint8_t>(c.length >> 24)};
    uint32_t n = 0;
    EXPECT_EQ(c.ok, DecodeLength(prefix, &n)) << c.length;
  }
}

// Every way a body can be wrong is refused by the decoder of its type.
TEST(WireCodec, MalformedBodiesAreRefused) {
  auto body = [](const std::vector<uint8_t>& frame) { return Body(frame); };
  Control c;
  c.op = kBindEndpoint;
  c.address = 0x83;
  std::vector<uint8_t> bind = body(Encode(c));
  c.op = kSetConfiguration;
  c.configuration.interfaces.assign(2, usbdrv::InterfaceSetting{0, 0, 4096});
  std::vector<uint8_t> config = body(Encode(c));
  Submit in;
  in.id = 1;
  in.endpoint = 0x83;
  in.length = 4096;
  std::vector<uint8_t> read = body(Encode(in));
  Submit out;
  out.id = 2;
  out.endpoint = 0x03;
  out.length = 3;
  out.data = {1, 2, 3};
  std::vector<uint8_t> write = body(Encode(out));

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> controls = {
      {"empty", {}},
      {"wrong type",
       [&] {
         auto b = bind;
         b[0] = kSubmit;
         return b;
       }()},
      {"cut short", std::vector<uint8_t>(bind.begin(), bind.end() - 1)},
      {"trailing byte",
       [&] {
         auto b = bind;
         b.push_back(0);
         return b;
       }()},
      {"unknown op",
       [&] {
         auto b = bind;
         b[5] = 99;
         return b;
       }()},
      {"more interface entries than sent",
       [&] {
         auto b = config;
         b[8] = 3;  // the count
         return b;
       }()},
      {"fewer interface entries than sent",
       [&] {
         auto b = config;
         b[8] = 1;
         return b;
       }()},
      {"more interface entries than a configuration has",
       [&] {
         auto b = config;
         b[8] = 33;
         return b;
       }()},
  };
  for (const Case& k : controls) {
    Control d;
    EXPECT_FALSE(Decode(k.bytes.data(), k.bytes.size(), &d)) << k.name;
  }

  std::vector<Case> submits = {
      {"read with data",
       [&] {
         auto b = read;
         b.push_back(1);
         return b;
       }()},
      {"read over the limit",
       [&] {
         auto b = read;
         b[8] = 2;
         return b;
       }()},
      {"write shorter than its length", std::vector<uint8_t>(write.begin(), write.end() - 1)},
      {"write longer than its length",
       [&] {
         auto b = write;
         b.push_back(4);
         return b;
       }()},
  };
  for (const Case& k : submits) {
    Submit d;
    EXPECT_FALSE(Decode(k.bytes.data(), k.bytes.size(), &d)) << k.name;
  }

  Complete m;
  m.id = 1;
  m.actual = 5;
  m.data = {1, 2, 3, 4, 5};
  std::vector<uint8_t> done = body(Encode(m));
  Complete d;
  EXPECT_FALSE(Decode(done.data(), done.size(), true, 4, &d)) << "more than the read asked for";
  EXPECT_FALSE(Decode(done.data(), done.size() - 1, true, 4096, &d)) << "fewer bytes than counted";
  EXPECT_FALSE(Decode(done.data(), done.size(), false, 4096, &d)) << "data on a write";
  EXPECT_TRUE(Decode(done.data(), done.size(), true, 5, &d));

  ControlReply r;
  r.op = kGetConfiguration;
  r.data = {1, 2};
  std::vector<uint8_t> reply = body(Encode(r));
  ControlReply q;
  EXPECT_FALSE(Decode(reply.data(), reply.size(), kGetConfiguration, 0, &q)) << "two bytes";
  r.data = {1};
  reply = body(Encode(r));
  EXPECT_FALSE(Decode(reply.data(), reply.size(), kBindEndpoint, 0, &q)) << "another op";
  EXPECT_TRUE(Decode(reply.data(), reply.size(), kGetConfiguration, 0, &q));
  r.op = kGetDescriptor;
  r.data.assign(19, 0);
  reply = body(Encode(r));
  EXPECT_FALSE(Decode(reply.data(), reply.size(), kGetDescriptor, 18, &q)) << "over the room";

  Hello hello;
  hello.mode = kOpen;
  std::vector<uint8_t> greeting = body(Encode(hello));
  Hello e;
  EXPECT_TRUE(Decode(greeting.data(), greeting.size(), &e));
  greeting[1] ^= 1;
  EXPECT_FALSE(Decode(greeting.data(), greeting.size(), &e)) << "wrong magic";
  greeting[1] ^= 1;
  greeting[7] = 2;
  EXPECT_FALSE(Decode(greeting.data(), greeting.size(), &e)) << "unknown mode";
}

TEST(WireFrames, ReadFrameRefusesBadPrefixesAndCutFrames) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    int result;
  } cases[] = {
      {"closed at once", {}, 0},
      {"zero length", {0, 0, 0, 0}, -1},
      {"oversized", {0xFF, 0xFF, 0xFF, 0x7F}, -1},
      {"cut in the prefix", {5, 0}, -1},
      {"cut in the body", {5, 0, 0, 0, 1, 2}, -1},
      {"whole", {2, 0, 0, 0, 0x04, 0x09}, 1},
  };
  for (const Case& c : cases) {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    if (!c.bytes.empty()) {
      ASSERT_EQ(ssize_t(c.bytes.size()), write(fds[1], c.bytes.data(), c.bytes.size()));
    }
    close(fds[1]);
    std::vector<uint8_t> body;
    EXPECT_EQ(c.result, ReadFrame(fds[0], &body, 2000)) << c.name;
    close(fds[0]);
  }
}

TEST(WireFrames, FrameCutOffWithThePeerStillThereTimesOut) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  uint8_t partial[] = {8, 0, 0, 0, 1};
  ASSERT_EQ(5, write(fds[1], partial, sizeof partial));
  std::vector<uint8_t> body;
  EXPECT_EQ(-1, ReadFrame(fds[0], &body, 100));
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace simwire
