#include "sim/shell.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records every IN transfer the shell queues.
class RecordingPipe : public sim::InPipe {
 public:
  void Send(const void* data, size_t length, uint32_t delayMs) override {
    sent.push_back(std::string(static_cast<const char*>(data), length));
    delays.push_back(delayMs);
  }
  std::vector<std::string> Take() {
    std::vector<std::string> t;
    t.swap(sent);
    return t;
  }
  std::vector<std::string> sent;
  std::vector<uint32_t> delays;
};

using Texts = std::vector<std::string>;

class ShellTest : public ::testing::Test {
 protected:
  Texts Write(const std::string& text) {
    sim::WriteResult r = shell.OnWrite(reinterpret_cast<const uint8_t*>(text.data()),
                                       static_cast<uint32_t>(text.size()), pipe);
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ(text.size(), r.accepted);
    return pipe.Take();
  }
  void LogIn() {
    Write("\r\n");
    Write("admin\r\n");
    ASSERT_EQ(Texts{"$ "}, Write("kv30\r\n"));
  }
  sim::Shell shell;
  RecordingPipe pipe;
};

TEST_F(ShellTest, LoginDialogueWithLinesSplitOverWrites) {
  EXPECT_FALSE(shell.LoggedIn());
  EXPECT_EQ(Texts{"user: "}, Write("\r\n"));
  EXPECT_EQ(Texts{}, Write("admin"));
  EXPECT_EQ(Texts{"password: "}, Write("\r\n"));
  EXPECT_EQ(Texts{}, Write("kv"));
  EXPECT_EQ(Texts{"$ "}, Write("30\r"));  // the line ends at CR; its LF follows alone
  EXPECT_TRUE(shell.LoggedIn());
  EXPECT_EQ(Texts{}, Write("\n"));
  EXPECT_EQ(Texts{"$ "}, Write("\r\n"));
  std::vector<sim::Shell::Line> lines = shell.Lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("", lines[0].text);
  EXPECT_EQ(sim::Shell::kIdle, lines[0].stage);
  EXPECT_EQ("admin", lines[1].text);
  EXPECT_EQ(sim::Shell::kUser, lines[1].stage);
  EXPECT_EQ("kv30", lines[2].text);
  EXPECT_EQ(sim::Shell::kPassword, lines[2].stage);
  EXPECT_EQ(sim::Shell::kCommand, lines[3].stage);
  EXPECT_EQ("\r\nadmin\r\nkv30\r\n\r\n", shell.Received());
}

TEST_F(ShellTest, WrongPairIsRefusedAndLogsOutAgain) {
  struct Case {
    const char* user;
    const char* password;
  } cases[] = {{"admin", "kv3"}, {"Admin", "kv30"}, {"", ""}, {"kv30", "admin"}};
  for (const Case& c : cases) {
    Write("\r\n");
    Write(std::string(c.user) + "\r\n");
    EXPECT_EQ(Texts{"login incorrect\r\n"}, Write(std::string(c.password) + "\r\n")) << c.user;
    EXPECT_FALSE(shell.LoggedIn());
    EXPECT_EQ(Texts{"user: "}, Write("\r\n"));
    Write("x\r\n");
    Write("y\r\n");
  }
}

TEST_F(ShellTest, SettableCredentials) {
  shell.SetCredentials("root", "");
  Write("\r\n");
  Write("root\r\n");
  EXPECT_EQ(Texts{"$ "}, Write("\r\n"));
}

TEST_F(ShellTest, BareLineFeedEndsALineAndCrLfIsOneLineEnd) {
  shell.SetLoggedIn(true);
  EXPECT_EQ((Texts{"$ ", "$ "}), Write("\n\r\n"));  // 10 13 10: two empty lines
  EXPECT_EQ((Texts{"$ "}), Write("\r"));
  EXPECT_EQ((Texts{}), Write("\n"));
  EXPECT_EQ((Texts{"$ ", "$ "}), Write("\n\n"));
}

TEST_F(ShellTest, ConfigLinesAreStoredAndShown) {
  LogIn();
  EXPECT_EQ((Texts{"ok\r\n", "$ "}), Write("config change WLANMGR0 /ssid lab /cipher none\r\n"));
  EXPECT_EQ((Texts{"ok\r\n", "$ "}), Write("config change PHONE SIG /prot sip /e164 501\r\n"));
  EXPECT_EQ((Texts{"ok\r\n", "$ "}), Write("config write\r\n"));
  EXPECT_EQ((Texts{"reset needed\r\n", "$ "}), Write("config activate\r\n"));
  EXPECT_EQ((Texts{"ok\r\n", "$ "}), Write("config activate\r\n"));
  EXPECT_EQ((Texts{"WLANMGR0 /ssid lab\r\n", "WLANMGR0 /cipher none\r\n", "PHONE SIG /prot sip\r\n",
                   "PHONE SIG /e164 501\r\n", "$ "}),
            Write("config show\r\n"));
  EXPECT_EQ(1, shell.ConfigWrites());
  EXPECT_EQ(2, shell.Activations());
}

TEST_F(ShellTest, ResetNeededOnlyForNetworkAndSignallingChanges) {
  LogIn();
  Write("config change WLANMGR0 /power-mode active\r\n");
  Write("config change PHONE SIG /e164 501\r\n");
  EXPECT_EQ((Texts{"ok\r\n", "$ "}), Write("config activate\r\n"));
  Write("config change PHONE SIG /prot h323\r\n");
  EXPECT_EQ((Texts{"reset needed\r\n", "$ "}), Write("config activate\r\n"));
  Write("config change PHONE SIG /prot h323\r\n");  // unchanged value
  EXPECT_EQ((Texts{"ok\r\n", "$ "}), Write("config activate\r\n"));
}

TEST_F(ShellTest, RefusedChangesAndUnknownCommands) {
  LogIn();
  const char* refused[] = {
      "config change WLANMGR0 /colour red\r\n",
      "config change WLANMGR0 /ssid\r\n",
      "config change PHONE SIG /ssid lab\r\n",
      "config frobnicate\r\n",
      "dance\r\n",
  };
  for (const char* line : refused) {
    Texts answer = Write(line);
    ASSERT_EQ(2u, answer.size()) << line;
    EXPECT_EQ(0u, answer[0].rfind("error: ", 0)) << answer[0];
    EXPECT_EQ("$ ", answer[1]);
  }
  EXPECT_TRUE(shell.Settings().empty());
  EXPECT_EQ((Texts{"ok\r\n", "$ "}), Write("config change WLANMGR0\r\n"));  // a bare line
  // A value runs up to the next setting word; the first word after a
  // setting word always belongs to its value.
  EXPECT_EQ((Texts{"ok\r\n", "$ "}),
            Write("config change WLANMGR0 /ssid two  words /cipher /ssid /passphrase x\r\n"));
  EXPECT_EQ((Texts{"WLANMGR0 /ssid two words", "WLANMGR0 /cipher /ssid", "WLANMGR0 /passphrase x"}),
            shell.Settings());
}

TEST_F(ShellTest, ResetAndExitLogOut) {
  for (const char* word : {"reset\r\n", "exit\r\n"}) {
    LogIn();
    EXPECT_EQ(Texts{}, Write(word));
    EXPECT_FALSE(shell.LoggedIn());
  }
}

TEST_F(ShellTest, EchoSilenceAndWithholding) {
  shell.SetEcho(true);
  EXPECT_EQ((Texts{"\r\n", "user: "}), Write("\r\n"));
  EXPECT_EQ((Texts{"adm"}), Write("adm"));
  shell.SetEcho(false);
  shell.SetWithheld("admin");
  shell.SetWithheld("other");
  EXPECT_EQ(Texts{}, Write("in\r\n"));
  shell.ClearWithheld();
  EXPECT_EQ(Texts{"$ "}, Write("kv30\r\n"));
  shell.SetWithheld("config write");
  shell.SetWithheld("config activate");
  EXPECT_EQ(Texts{}, Write("config write\r\n"));
  EXPECT_EQ(Texts{}, Write("config activate\r\n"));
  EXPECT_EQ(Texts{"$ "}, Write("\r\n"));
  shell.ClearWithheld();
  shell.SetSilent(true);
  EXPECT_EQ(Texts{}, Write("config write\r\n"));
  EXPECT_EQ(2, shell.ConfigWrites());  // still run
}

TEST_F(ShellTest, PromptShapes) {
  shell.SetLoggedIn(true);
  shell.SetSplitPrompt(true);
  EXPECT_EQ((Texts{"$", " "}), Write("\r\n"));
  shell.SetSplitPrompt(false);
  shell.SetNewlineBeforePrompt(true);
  EXPECT_EQ((Texts{"\r\n$ "}), Write("\r\n"));
  shell.SetLoggedIn(false);
  EXPECT_EQ((Texts{"\r\nuser: "}), Write("\r\n"));
}

TEST_F(ShellTest, ActivateAnswerOrders) {
  LogIn();
  shell.SetActivateAnswer(sim::Shell::kActivateResetThenOk);
  EXPECT_EQ((Texts{"reset needed\r\n", "ok\r\n", "$ "}), Write("config activate\r\n"));
  shell.SetActivateAnswer(sim::Shell::kActivateOkThenReset);
  EXPECT_EQ((Texts{"ok\r\n", "reset needed\r\n", "$ "}), Write("config activate\r\n"));
}

TEST_F(ShellTest, DelayAndCustomReplies) {
  LogIn();
  shell.SetAnswerDelay(250);
  shell.SetReply("lines", {"one\ntwo\n", "$ "});
  EXPECT_EQ((Texts{"one\ntwo\n", "$ "}), Write("lines\r\n"));
  EXPECT_EQ((std::vector<uint32_t>{0, 0, 0, 250, 250}), pipe.delays);
}

TEST_F(ShellTest, WaitForWritesSeesWrites) {
  EXPECT_FALSE(shell.WaitForWrites(1, 10));
  Write("x");
  EXPECT_TRUE(shell.WaitForWrites(1, 10));
  EXPECT_EQ(Texts{"x"}, shell.Writes());
}

}  // namespace
