// kv30sim's options for the faults of the fault matrix, and its messages
// about words it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/kv30sim/handset.h"
#include "sim/kv30sim/options.h"

namespace kv30sim {
namespace {

TEST(FaultOptions, AreTaken) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--swap-acks",
                            "2",
                            "3",
                            "--ack-line-end",
                            "1",
                            "--replace-ack",
                            "4",
                            "#x",
                            "--delay-ack",
                            "5",
                            "3000",
                            "--fail-set-config",
                            "--unopenable-first",
                            "--read-errors",
                            "epe",
                            "--fail-writes",
                            "2",
                            "--short-writes",
                            "1",
                            "100",
                            "--stop-at-write",
                            "7",
                            "--garbage-after",
                            "0"},
                           &o, &error))
      << error;
  EXPECT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{2, 3}}), o.swappedAcks);
  EXPECT_EQ((std::vector<uint32_t>{1}), o.lineEndAcks);
  EXPECT_EQ((std::vector<std::pair<uint32_t, std::string>>{{4, "#x"}}), o.replacedAcks);
  EXPECT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{5, 3000}}), o.delayedAcks);
  EXPECT_TRUE(o.failSetConfiguration);
  EXPECT_TRUE(o.unopenableFirst);
  EXPECT_EQ("epe", o.readErrors);
  EXPECT_EQ(2u, o.failWrites);
  EXPECT_EQ(1u, o.shortWrites);
  EXPECT_EQ(100u, o.shortWriteMax);
  EXPECT_EQ(Options::kTripStop, o.trip);
  EXPECT_EQ(7u, o.tripWrite);
  EXPECT_TRUE(o.garbage);
  EXPECT_EQ(0u, o.garbageAfter);

  Options k;
  ASSERT_TRUE(ParseOptions({"--kill-at-write", "0", "--close-after", "3"}, &k, &error)) << error;
  EXPECT_EQ(Options::kTripKill, k.trip);
  EXPECT_TRUE(k.close);
  EXPECT_EQ(3u, k.closeAfter);
}

TEST(FaultOptions, BadValuesAreRefused) {
  struct Case {
    std::vector<std::string> words;
    const char* error;
  } cases[] = {
      {{"--swap-acks", "2"}, "missing value for --swap-acks"},
      {{"--delay-ack", "5", "600001"}, "bad value for --delay-ack: 600001"},
      {{"--read-errors", "epx"}, "bad value for --read-errors: epx (letters e and p)"},
      {{"--read-errors", ""}, "bad value for --read-errors:  (letters e and p)"},
      {{"--short-writes", "1"}, "missing value for --short-writes"},
      {{"--stop-at-write", "-1"}, "bad value for --stop-at-write: -1"},
  };
  for (const Case& c : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(ParseOptions(c.words, &o, &error)) << c.words[0];
    EXPECT_EQ(c.error, error);
  }
}

// Found by fuzzing: a refused word with a line end in it made the
// one-line message two lines.
TEST(FaultOptions, ARefusedWordIsShownOnOneLine) {
  struct Case {
    std::vector<std::string> words;
    const char* error;
  } cases[] = {
      {{"--veraysio\nn"}, "unknown option: --veraysio\\x0an"},
      {{"--fail-bind", "in\r\n"}, "bad value for --fail-bind: in\\x0d\\x0a (in or out)"},
      {{"--name", "a/\x7f\\"}, "bad value for --name: a/\\x7f\\\\"},
      {{"--user\t"}, "unknown option: --user\\x09"},
  };
  for (const Case& c : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(ParseOptions(c.words, &o, &error));
    EXPECT_EQ(c.error, error);
  }
}

TEST(FaultOptions, ExtraInstancesAreListedBeforeTheHandset) {
  Options o;
  o.unopenableFirst = true;
  o.foreignFirst = true;
  Handset handset = BuildHandset(o, nullptr);
  ASSERT_EQ(3u, handset.instances.size());
  EXPECT_EQ((std::vector<std::string>{"closed", "foreign", ""}), handset.names);
  EXPECT_EQ(nullptr, handset.instances[0]->Open());
  EXPECT_NE(nullptr, handset.instances[1]->Open());
}

}  // namespace
}  // namespace kv30sim
