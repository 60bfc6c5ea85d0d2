#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/kv30sim/options.h"
#include "sim/kv30sim/transcript.h"

namespace kv30sim {
namespace {

TEST(Transcript, LineFormat) {
  struct Case {
    uint8_t endpoint;
    std::string bytes;
    const char* line;
  } cases[] = {
      {0x03, "config show\r\n", "OUT 03 13 config show\\x0d\\x0a"},
      {0x83, "$ ", "IN 83 2 $ "},
      {0x87, "#0", "IN 87 2 #0"},
      {0x07, std::string("! upload  1000\0", 15), "OUT 07 15 ! upload  1000\\x00"},
      {0x83, "", "IN 83 0"},
      {0x03, "a\\b", "OUT 03 3 a\\\\b"},
      {0x03, "\x7f\x80\xff~ ", "OUT 03 5 \\x7f\\x80\\xff~ "},
      {0x03, "\x1f", "OUT 03 1 \\x1f"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line, FormatTransfer(c.endpoint, reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                     static_cast<uint32_t>(c.bytes.size())));
  }
}

TEST(Options, DefaultsAndValues) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({}, &o, &error));
  EXPECT_EQ("admin", o.user);
  EXPECT_EQ("kv30", o.password);
  EXPECT_EQ("kv30", o.name);
  EXPECT_FALSE(o.unconfigured);

  Options p;
  ASSERT_TRUE(ParseOptions({"--user", "root", "--password", "", "--logged-in", "--drop-ack", "3",
                            "--drop-ack", "5", "--stall-after", "0", "--version", "0x0100",
                            "--fail-bind", "out", "--ack-delay", "2500", "--log", "t.log"},
                           &p, &error))
      << error;
  EXPECT_EQ("root", p.user);
  EXPECT_EQ("", p.password);
  EXPECT_TRUE(p.loggedIn);
  EXPECT_EQ((std::vector<uint32_t>{3, 5}), p.dropAcks);
  EXPECT_TRUE(p.stall);
  EXPECT_EQ(0u, p.stallAfter);
  EXPECT_TRUE(p.versionSet);
  EXPECT_EQ(0x0100, p.version);
  EXPECT_TRUE(p.failBindOut);
  EXPECT_FALSE(p.failBindIn);
  EXPECT_EQ(2500u, p.ackDelayMs);
  EXPECT_EQ("t.log", p.log);
}

TEST(Options, BadWordsAreRefused) {
  struct Case {
    std::vector<std::string> words;
    const char* error;
  } cases[] = {
      {{"--frobnicate"}, "unknown option: --frobnicate"},
      {{"--user"}, "missing value for --user"},
      {{"--drop-ack", "x"}, "bad value for --drop-ack: x"},
      {{"--drop-ack", "-1"}, "bad value for --drop-ack: -1"},
      {{"--drop-ack", "4294967296"}, "bad value for --drop-ack: 4294967296"},
      {{"--version", "10000"}, "bad value for --version: 10000"},
      {{"--version", "0x"}, "bad value for --version: 0x"},
      {{"--fail-bind", "both"}, "bad value for --fail-bind: both (in or out)"},
      {{"--name", "../x"}, "bad value for --name: ../x"},
  };
  for (const Case& c : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(ParseOptions(c.words, &o, &error)) << c.words[0];
    EXPECT_EQ(c.error, error);
  }
}

}  // namespace
}  // namespace kv30sim
