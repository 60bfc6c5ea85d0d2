#include <posixplat/testing.h>

#include "app/trace.h"
#include "tests/shell/dialogue.h"

namespace {

using Texts = std::vector<std::string>;

using LoginTest = Dialogue;

TEST_F(LoginTest, LogsInWithTheDefaultPair) {
  Outcome run = Login({"login"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.output);
  EXPECT_TRUE(shell->LoggedIn());
  // The user name and the password each go out without their line end, which follows alone.
  EXPECT_EQ((Texts{"\r\n", "admin", "\r\n", "kv30", "\r\n"}), Writes());
  std::vector<sim::Shell::Line> lines = shell->Lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(sim::Shell::kUser, lines[1].stage);
  EXPECT_EQ("admin", lines[1].text);
  EXPECT_EQ(sim::Shell::kPassword, lines[2].stage);
  EXPECT_EQ("kv30", lines[2].text);
}

TEST_F(LoginTest, AlreadyLoggedInAfterTheFirstLineEnd) {
  shell->SetLoggedIn(true);
  Outcome run = Login({"login"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.output);
  EXPECT_EQ("\r\n", shell->Received());
}

TEST_F(LoginTest, EchoOfTheTypedTextIsPassedOver) {
  shell->SetEcho(true);
  EXPECT_EQ(0, Login({"login"}).status);
  EXPECT_TRUE(shell->LoggedIn());
}

TEST_F(LoginTest, DelayedAnswersAreAwaited) {
  shell->SetAnswerDelay(100);
  EXPECT_EQ(0, Login({"login"}).status);
}

TEST_F(LoginTest, NoAnswerFiveAttemptsThenLogin1) {
  shell->SetSilent(true);
  Outcome run = Login({"login"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("Error: waiting for KV30 answer (login-1)\n", run.output);
  EXPECT_EQ((Texts{"\r\n", "\r\n", "\r\n", "\r\n", "\r\n"}), Writes());
  EXPECT_GE(run.ms, 5 * 400 - 50);
}

TEST_F(LoginTest, PromptsThatAreNotWholeTransfersAreNotRecognised) {
  shell->SetSplitPrompt(true);
  Outcome run = Login({"login"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("Error: waiting for KV30 answer (login-1)\n", run.output);
}

TEST_F(LoginTest, PromptAfterALineEndInTheSameTransferIsNotRecognised) {
  shell->SetNewlineBeforePrompt(true);
  Outcome run = Login({"login"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("Error: waiting for KV30 answer (login-1)\n", run.output);
}

TEST_F(LoginTest, NoPasswordPromptIsLogin2) {
  shell->SetWithheld("admin");
  Outcome run = Login({"login"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("Error: waiting for KV30 answer (login-2)\n", run.output);
  EXPECT_EQ((Texts{"\r\n", "admin", "\r\n"}), Writes());
}

TEST_F(LoginTest, RejectedPasswordIsLogin3) {
  shell->SetCredentials("admin", "other");
  Outcome run = Login({"login"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("Error: waiting for KV30 answer (login-3)\n", run.output);
  EXPECT_FALSE(shell->LoggedIn());
}

struct ValueCase {
  const char* value;
  const char* user;
  const char* password;
};

TEST_F(LoginTest, LoginValueForms) {
  const ValueCase cases[] = {
      {"root,secret", "root", "secret"}, {"root", "root", ""},  {"root,", "root", ""},
      {",secret", "", "secret"},         {"a,b,c", "a", "b,c"}, {"admin,kv30", "admin", "kv30"},
  };
  for (const ValueCase& c : cases) {
    shell->SetLoggedIn(false);
    shell->SetCredentials(c.user, c.password);
    size_t before = shell->Lines().size();
    Outcome run = Login({"login", "/login", c.value});
    EXPECT_EQ(0, run.status) << c.value;
    EXPECT_EQ("", run.output) << c.value;
    std::vector<std::string> lines = LineTexts();
    ASSERT_EQ(before + 3, lines.size()) << c.value;
    EXPECT_EQ(c.user, lines[before + 1]) << c.value;
    EXPECT_EQ(c.password, lines[before + 2]) << c.value;
  }
}

TEST_F(LoginTest, TraceShowsThePair) {
  traceEnabled = true;
  shell->SetCredentials("root", "b,c");
  Outcome run = Login({"login", "/login", "root,b,c"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(0u, run.output.find("velkor: using login (root,b,c)\n")) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("onRecv:user: \n"));
  EXPECT_NE(std::string::npos, run.output.find("Read:$ .\n"));
}

TEST_F(LoginTest, LoginOptionWithoutValueKeepsTheDefaults) {
  Outcome run = Login({"login", "/login"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("velkor: missing option to /login\n", run.output);
  EXPECT_EQ((Texts{"", "admin", "kv30"}), LineTexts());
}

TEST_F(LoginTest, OnlyTheWordRightAfterLoginIsExamined) {
  Outcome run = Login({"login", "extra", "/login", "root,secret"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ((Texts{"", "admin", "kv30"}), LineTexts());
}

TEST_F(LoginTest, LoginOutlastsTheRunForALaterCommand) {
  ASSERT_EQ(0, Login({"login"}).status);
  shell->SetReply("config show", {"WLANMGR0 /ssid lab\r\n", "$ "});
  Outcome run = Command({"config", "show"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("WLANMGR0 /ssid lab\r\n\n$ \n", run.output);
  EXPECT_EQ("\r\nadmin\r\nkv30\r\nconfig show\r\n", shell->Received());
}

}  // namespace
