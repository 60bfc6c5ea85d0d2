#include "app/trace.h"
#include "tests/shell/dialogue.h"

namespace {

using Texts = std::vector<std::string>;

using CommandTest = Dialogue;

TEST_F(CommandTest, SendsTheLineAndEchoesTheOutputUntilThePrompt) {
  shell->SetLoggedIn(true);
  shell->SetReply("config show", {"WLANMGR0 /ssid lab\r\n", "PHONE SIG /e164 501\r\n", "$ "});
  Outcome run = Command({"config", "show"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("WLANMGR0 /ssid lab\r\n\nPHONE SIG /e164 501\r\n\n$ \n", run.output);
  ASSERT_EQ((Texts{"config show\r\n"}), Writes());
  EXPECT_EQ(13u, Writes()[0].size());
}

TEST_F(CommandTest, WordsAreJoinedBySingleBlanksAndKeepTheirOwnBlanks) {
  shell->SetLoggedIn(true);
  Outcome run = Command({"config", "change WLANMGR0", "/ssid", "/trace"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ((Texts{"config change WLANMGR0 /ssid /trace\r\n"}), Writes());
}

TEST_F(CommandTest, AnswerWithoutPromptTimesOutWithStatusOne) {
  shell->SetLoggedIn(true);
  shell->SetReply("sleep", {"working\r\n", "$"});
  Outcome run = Command({"sleep"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("working\r\n\n$\n", run.output);  // what came is shown, no message
  EXPECT_GE(run.ms, 2000 - 50);
}

TEST_F(CommandTest, NoAnswerAtAllTimesOut) {
  shell->SetLoggedIn(true);
  shell->SetWithheld("config show");
  Outcome run = Command({"config", "show"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("", run.output);
}

TEST_F(CommandTest, TraceShowsTheLineSent) {
  shell->SetLoggedIn(true);
  traceEnabled = true;
  Outcome run = Command({"config", "show"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(0u, run.output.find("velkor: send <config show\r\n>")) << run.output;
}

// The words and their blanks may take 1021 characters; more is refused
// before anything is sent.
TEST_F(CommandTest, LengthLimit) {
  shell->SetLoggedIn(true);
  struct Case {
    std::vector<std::string> words;
    bool accepted;
  } cases[] = {
      {{std::string(1021, 'a')}, true},
      {{std::string(1022, 'a')}, false},
      {std::vector<std::string>(511, "b"), true},   // 511 letters, 510 blanks
      {std::vector<std::string>(512, "b"), false},  // 1023
      {{std::string(1020, 'c'), ""}, true},         // an empty last word still costs a blank
      {{std::string(1021, 'c'), ""}, false},
      {{std::string(5000, 'd')}, false},
  };
  for (const Case& c : cases) {
    size_t before = Writes().size();
    Outcome run = Command(c.words);
    if (c.accepted) {
      EXPECT_EQ(0, run.status);
      ASSERT_EQ(before + 1, Writes().size());
      EXPECT_EQ(1023u, Writes().back().size());
      EXPECT_EQ("\r\n", Writes().back().substr(1021));
    } else {
      EXPECT_EQ(1, run.status);
      EXPECT_EQ("velkor: command too long (at most 1021 characters).\n", run.output);
      EXPECT_EQ(before, Writes().size());
    }
  }
}

}  // namespace
