#include "app/config.h"

#include "app/trace.h"
#include "tests/shell/dialogue.h"

namespace {

using Texts = std::vector<std::string>;

using ConfigTest = Dialogue;

const char* const loginWrites[] = {"\r\n", "admin", "\r\n", "kv30", "\r\n"};

// The host's writes after the login.
Texts AfterLogin(const Texts& writes) {
  size_t skip = sizeof loginWrites / sizeof loginWrites[0];
  if (writes.size() < skip) return writes;
  for (size_t i = 0; i < skip; i++)
    if (writes[i] != loginWrites[i]) return writes;
  return Texts(writes.begin() + skip, writes.end());
}

TEST_F(ConfigTest, ExampleSendsBothLinesAndResets) {
  Outcome run = Config({"/ssid", "lab", "/cipher", "none", "/prot", "sip", "/e164", "501"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("ok (reset)\n", run.output);
  EXPECT_EQ((Texts{"config change WLANMGR0 /ssid lab /cipher none\r\n",
                   "config change PHONE SIG /prot sip /e164 501\r\n", "config write\r\n",
                   "config activate\r\n", "reset\r\n"}),
            AfterLogin(Writes()));
  EXPECT_EQ((Texts{"WLANMGR0 /ssid lab", "WLANMGR0 /cipher none", "PHONE SIG /prot sip",
                   "PHONE SIG /e164 501"}),
            shell->Settings());
  EXPECT_EQ(1, shell->ConfigWrites());
  EXPECT_FALSE(shell->LoggedIn());  // reset ends the shell's login
  EXPECT_GE(run.ms, 500);           // the pause before the link closes
}

TEST_F(ConfigTest, WithoutResetItExits) {
  Outcome run = Config({"/power-mode", "short-doze"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("ok\n", run.output);
  EXPECT_EQ((Texts{"config change WLANMGR0 /power-mode short-doze\r\n", "config write\r\n",
                   "config activate\r\n", "exit\r\n"}),
            AfterLogin(Writes()));
}

TEST_F(ConfigTest, TelephonyOnlyStillSendsTheBareWlanLine) {
  Outcome run = Config({"/gk-addr", "192.168.0.10", "/h323", "desk"});
  EXPECT_EQ(0, run.status);
  Texts sent = AfterLogin(Writes());
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ("config change WLANMGR0\r\n", sent[0]);
  EXPECT_EQ("config change PHONE SIG /gk-addr 192.168.0.10 /h323 desk\r\n", sent[1]);
}

TEST_F(ConfigTest, AlreadyLoggedInSkipsTheLogin) {
  shell->SetLoggedIn(true);
  Outcome run = Config({"/ssid", "x"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("\r\n", Writes()[0]);
  EXPECT_EQ("config change WLANMGR0 /ssid x\r\n", Writes()[1]);
}

// One run through the option rules: case-sensitive lists, the shared
// power-mode list, values taken as given, repeated options.
TEST_F(ConfigTest, OptionRules) {
  Outcome run = Config({"/cipher",
                        "NONE",
                        "/wep-index",
                        "5",
                        "/wep-index",
                        "4",
                        "/power-mode-call",
                        "uapsd",
                        "/power-mode-call",
                        "long-doze",
                        "/power-save",
                        "uapsd",
                        "/ssid",
                        "/cipher",
                        "/security-mode",
                        "wpa2-psk",
                        "/prot",
                        "SIP",
                        "/ssid",
                        "two words",
                        "/passphrase",
                        "a/b",
                        "/user",
                        "u",
                        "/password",
                        "p"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(
      "velkor: unexpected option to /cipher\n"
      "velkor: unexpected option to /wep-index\n"
      "velkor: unexpected option to /power-mode-call\n"
      "velkor: unexpected option to /prot\n"
      "ok (reset)\n",
      run.output);
  Texts sent = AfterLogin(Writes());
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(
      "config change WLANMGR0 /wep-index 4 /power-mode-call long-doze /power-save uapsd "
      "/ssid /cipher /security-mode wpa2-psk /ssid two words /passphrase a/b /user u "
      "/password p\r\n",
      sent[0]);
  // No telephony option was accepted, so no telephony line.
  EXPECT_EQ("config write\r\n", sent[1]);
}

TEST_F(ConfigTest, EveryListedValueIsAccepted) {
  std::vector<std::string> words;
  std::string expected = "config change WLANMGR0";
  std::string phone = "config change PHONE SIG";
  for (int k = 0; k < configOptionCount; k++) {
    const ConfigOption& option = configOptions[k];
    if (option.values == nullptr) continue;
    for (int v = 0; v < option.valueCount; v++) {
      words.push_back(option.word);
      words.push_back(option.values[v]);
      std::string& line = option.target == configWlanLine ? expected : phone;
      line += std::string(" ") + option.word + " " + option.values[v];
    }
  }
  Outcome run = Config(words);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("ok (reset)\n", run.output);
  Texts sent = AfterLogin(Writes());
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(expected + "\r\n", sent[0]);
  EXPECT_EQ(phone + "\r\n", sent[1]);
}

TEST(ConfigOptions, IsOneOf) {
  const char* const list[] = {"none", "wep", "wep128"};
  EXPECT_TRUE(isOneOf("none", list, 3));
  EXPECT_TRUE(isOneOf("wep128", list, 3));
  EXPECT_FALSE(isOneOf("wep128", list, 2));  // only the first count words
  EXPECT_FALSE(isOneOf("WEP", list, 3));
  EXPECT_FALSE(isOneOf("wep1", list, 3));
  EXPECT_FALSE(isOneOf("", list, 3));
  EXPECT_FALSE(isOneOf("none", list, 0));
}

TEST_F(ConfigTest, UnrecognizedOptionStopsBeforeAnythingIsSent) {
  Outcome run = Config({"/ssid", "lab", "/Cipher", "none"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("velkor: unrecognized option: /Cipher\n", run.output);
  EXPECT_EQ("", shell->Received());
}

TEST_F(ConfigTest, MissingValueEndsParsingAndTheDialogueRuns) {
  Outcome run = Config({"/ssid"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("velkor: missing option to /ssid\nok\n", run.output);
  EXPECT_EQ("config change WLANMGR0\r\n", AfterLogin(Writes())[0]);
}

TEST_F(ConfigTest, LoginValueSetsThePair) {
  traceEnabled = true;
  shell->SetCredentials("", "x,y");
  Outcome run = Config({"/login", ",x,y", "/ssid", "lab"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(0u, run.output.find("velkor: using login (,x,y)\n")) << run.output;
  EXPECT_EQ((Texts{"WLANMGR0 /ssid lab"}), shell->Settings());
}

TEST_F(ConfigTest, LoginValueWithoutCommaHasAnEmptyPassword) {
  shell->SetCredentials("root", "");
  Outcome run = Config({"/login", "admin,kv30", "/login", "root", "/ssid", "lab"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("ok (reset)\n", run.output);
}

TEST_F(ConfigTest, FailedLoginIsStatusTwo) {
  shell->SetCredentials("admin", "other");
  Outcome run = Config({"/ssid", "lab"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("Error: waiting for KV30 answer (login-3)\n", run.output);
  EXPECT_EQ(0, shell->ConfigWrites());
  EXPECT_TRUE(shell->Settings().empty());
}

// Each awaited answer that does not come prints its step's message and ends
// the command with status 2.
struct MissingAnswer {
  const char* name;
  const char* withheld;
  const char* message;
};

class ConfigMissingAnswer : public Dialogue, public ::testing::WithParamInterface<MissingAnswer> {};

TEST_P(ConfigMissingAnswer, PrintsTheStepAndReturnsTwo) {
  shell->SetWithheld(GetParam().withheld);
  Outcome run = Config({"/ssid", "lab", "/e164", "501"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ(std::string("Error: waiting for KV30 answer (") + GetParam().message + ")\n",
            run.output);
  // Nothing is sent after the step that went unanswered.
  EXPECT_EQ(std::string(GetParam().withheld) + "\r\n", Writes().back());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ConfigMissingAnswer,
    ::testing::Values(MissingAnswer{"WlanLine", "config change WLANMGR0 /ssid lab", "config wlan"},
                      MissingAnswer{"PhoneLine", "config change PHONE SIG /e164 501",
                                    "config wlan"},
                      MissingAnswer{"Write", "config write", "config write"},
                      MissingAnswer{"Activate", "config activate", "config-activate"}),
    [](const ::testing::TestParamInfo<MissingAnswer>& info) { return info.param.name; });

TEST_F(ConfigTest, ResetNeededBeforeOkResets) {
  shell->SetActivateAnswer(sim::Shell::kActivateResetThenOk);
  Outcome run = Config({"/power-mode", "active"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("ok (reset)\n", run.output);
  EXPECT_EQ("reset\r\n", Writes().back());
}

TEST_F(ConfigTest, OkBeforeResetNeededExits) {
  shell->SetActivateAnswer(sim::Shell::kActivateOkThenReset);
  Outcome run = Config({"/ssid", "lab"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("ok\n", run.output);
  EXPECT_EQ("exit\r\n", Writes().back());
}

// A line with its CR LF may take 1023 characters; a longer one is refused
// before the login.
TEST_F(ConfigTest, LineLengthLimit) {
  struct Case {
    std::vector<std::string> words;
    bool accepted;
  } cases[] = {
      // "config change WLANMGR0 /ssid " is 29 characters, CR LF 2 more.
      {{"/ssid", std::string(992, 's')}, true},
      {{"/ssid", std::string(993, 's')}, false},
      // "config change PHONE SIG /e164 " is 30.
      {{"/e164", std::string(991, '5')}, true},
      {{"/e164", std::string(992, '5')}, false},
      {{"/ssid", std::string(500, 's'), "/ssid", std::string(600, 's')}, false},
      {{"/h323", std::string(3000, 'h')}, false},
  };
  for (const Case& c : cases) {
    size_t before = Writes().size();
    shell->SetLoggedIn(false);
    Outcome run = Config(c.words);
    if (c.accepted) {
      EXPECT_EQ(0, run.status);
      bool found = false;
      for (const std::string& w : Writes())
        if (w.size() == 1023 && w.substr(1021) == "\r\n") found = true;
      EXPECT_TRUE(found);
    } else {
      EXPECT_EQ(1, run.status);
      EXPECT_EQ("velkor: configuration line too long (at most 1023 characters).\n", run.output);
      EXPECT_EQ(before, Writes().size());
    }
  }
}

}  // namespace
