#include "handset_table.h"

namespace blackbox {
namespace {

// Answers come this long after the line that caused them, so that velkor's
// `command` has begun its wait when they arrive and shows them.
const std::vector<std::string> kAnswerDelay = {"--answer-delay", "100"};

const std::vector<std::string> kExample1 = {
    "config",  "/ssid",    "myssid",       "/wep-key", "4be07d21a9c3f5e8617d0b2c94",
    "/cipher", "wep128",   "/wep-index",   "1",        "/prot",
    "h323",    "/gk-addr", "192.168.0.10", "/e164",    "501"};

const char kExample1Settings[] =
    "WLANMGR0 /ssid myssid\n"
    "WLANMGR0 /wep-key 4be07d21a9c3f5e8617d0b2c94\n"
    "WLANMGR0 /cipher wep128\n"
    "WLANMGR0 /wep-index 1\n"
    "PHONE SIG /prot h323\n"
    "PHONE SIG /gk-addr 192.168.0.10\n"
    "PHONE SIG /e164 501\n";

const std::vector<std::string> kShow = {"command", "config", "show"};
const std::vector<std::string> kUpload = {"upload", "kv30.bin"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The progress lines and the end of an upload of `size` bytes, as standard
// output shows them when it is not the console: the carriage return before
// each progress line goes to the console.
std::string Progress(size_t size) {
  std::string text;
  size_t sent = 0;
  unsigned acks = 0;
  while (sent < size) {
    const size_t chunk = size - sent < 512 ? size - sent : 512;
    sent += chunk;
    acks += static_cast<unsigned>((chunk - 1) / 64 + 1);
    char line[64];
    snprintf(line, sizeof line, "%7.u/%7.u (%3.2u %%) #%6.6u", static_cast<unsigned>(sent),
             static_cast<unsigned>(size), static_cast<unsigned>(sent / (size / 100)), acks);
    text += line;
  }
  return text + "\nok\n";
}

std::vector<HandsetCase> BuildTable() {
  const std::string loginFailed1 = "Error: waiting for KV30 answer (login-1)\n";
  const std::string loginFailed3 = "Error: waiting for KV30 answer (login-3)\n";
  std::vector<HandsetCase> rows;

  HandsetCase example1;
  example1.name = "UsageExample1Config";
  example1.steps = {{kExample1, "ok (reset)\n", 0}};
  example1.settings = kExample1Settings;
  example1.received = {
      "OUT 03 101 config change WLANMGR0 /ssid myssid /wep-key 4be07d21a9c3f5e8617d0b2c94 "
      "/cipher wep128 /wep-index 1\\x0d\\x0a",
      "OUT 03 68 config change PHONE SIG /prot h323 /gk-addr 192.168.0.10 /e164 501\\x0d\\x0a",
      "IN 83 4 ok\\x0d\\x0a",
      "OUT 03 14 config write\\x0d\\x0a",
      "OUT 03 17 config activate\\x0d\\x0a",
      "IN 83 14 reset needed\\x0d\\x0a",
      "OUT 03 7 reset\\x0d\\x0a"};
  rows.push_back(example1);

  HandsetCase example2;
  example2.name = "UsageExample2Upload";
  example2.steps = {{kUpload, Progress(1000), 0}};
  example2.imageSize = 1000;
  example2.received = {"OUT 07 15 ! upload  1000\\x00", "IN 87 2 #0", "IN 87 3 #16"};
  rows.push_back(example2);

  HandsetCase example4;
  example4.name = "UsageExample4ConfigLoginCommand";
  example4.options = kAnswerDelay;
  // The reset logged the shell out; the login outlasts the run that made it.
  example4.steps = {{kExample1, "ok (reset)\n", 0},
                    {{"login"}, "", 0},
                    {kShow,
                     "WLANMGR0 /ssid myssid\r\n\n"
                     "WLANMGR0 /wep-key 4be07d21a9c3f5e8617d0b2c94\r\n\n"
                     "WLANMGR0 /cipher wep128\r\n\n"
                     "WLANMGR0 /wep-index 1\r\n\n"
                     "PHONE SIG /prot h323\r\n\n"
                     "PHONE SIG /gk-addr 192.168.0.10\r\n\n"
                     "PHONE SIG /e164 501\r\n\n"
                     "$ \n",
                     0}};
  example4.received = {"OUT 03 7 reset\\x0d\\x0a", "OUT 03 5 admin", "OUT 03 4 kv30",
                       "OUT 03 13 config show\\x0d\\x0a"};
  rows.push_back(example4);

  HandsetCase wrongPassword;
  wrongPassword.name = "WrongPassword";
  wrongPassword.options = {"--password", "secret"};
  // A command to the logged-out shell gets no prompt back.
  wrongPassword.steps = {{{"login"}, loginFailed3, 2}, {kShow, "user: \n", 1}};
  wrongPassword.received = {"OUT 03 5 admin", "OUT 03 4 kv30"};
  rows.push_back(wrongPassword);

  HandsetCase otherPair;
  otherPair.name = "OtherLoginPair";
  otherPair.options = {"--user", "root", "--password", "pw"};
  otherPair.steps = {{{"login", "/login", "root,pw"}, "", 0}};
  otherPair.received = {"OUT 03 4 root", "OUT 03 2 pw", "IN 83 2 $ "};
  rows.push_back(otherPair);

  HandsetCase dropped;
  dropped.name = "DroppedAcknowledgement";
  dropped.options = {"--drop-ack", "3"};
  // #1 and #2 count; #4 to #8 are not the #3 awaited, which never comes.
  std::string droppedOut;
  for (int i = 0; i < 5; i++) droppedOut += "Error: unexpected usb ack #3\n";
  dropped.steps = {{kUpload, droppedOut + "Error: waiting for ack #2\n", 2}};
  dropped.imageSize = 1000;
  dropped.received = {"IN 87 2 #2", "IN 87 2 #4"};
  rows.push_back(dropped);

  HandsetCase duplicated;
  duplicated.name = "DuplicatedAcknowledgement";
  duplicated.options = {"--dup-ack", "2"};
  duplicated.steps = {{kUpload, "Error: unexpected usb ack #3\n" + Progress(1000), 0}};
  duplicated.imageSize = 1000;
  duplicated.received = {"IN 87 2 #2", "IN 87 2 #2", "IN 87 2 #3"};
  rows.push_back(duplicated);

  HandsetCase stalled;
  stalled.name = "LoaderStallsAfterAcknowledgement4";
  stalled.options = {"--stall-after", "5"};
  stalled.steps = {{kUpload, "Error: waiting for ack #4\n", 2}};
  stalled.imageSize = 1000;
  stalled.received = {"IN 87 2 #4"};
  rows.push_back(stalled);

  HandsetCase slow;
  slow.name = "SlowAcknowledgements";
  slow.options = {"--ack-delay", "300"};
  slow.steps = {{kUpload, Progress(1000), 0}};
  slow.imageSize = 1000;
  rows.push_back(slow);

  HandsetCase large;
  large.name = "Upload100000Bytes";
  large.steps = {{kUpload, Progress(100000), 0}};
  large.imageSize = 100000;
  large.received = {"OUT 07 17 ! upload  100000\\x00", "OUT 07 160 "};
  // 196 chunks take 2 s at least; a loaded machine running it under Wine
  // has been seen to need 18 s. The bound is there to catch a hang.
  large.maxMs = 60000;
  rows.push_back(large);

  HandsetCase loggedIn;
  loggedIn.name = "AlreadyLoggedIn";
  loggedIn.options = Join({"--logged-in"}, kAnswerDelay);
  loggedIn.steps = {{kShow, "$ \n", 0}};
  rows.push_back(loggedIn);

  HandsetCase foreign;
  foreign.name = "ForeignDeviceFirst";
  foreign.options = Join({"--foreign-first", "--logged-in"}, kAnswerDelay);
  foreign.steps = {{kShow, "$ \n", 0}};
  foreign.received = {"OUT 03 13 config show\\x0d\\x0a"};
  rows.push_back(foreign);

  HandsetCase unconfigured;
  unconfigured.name = "UnconfiguredHandset";
  unconfigured.options = Join({"--unconfigured", "--logged-in"}, kAnswerDelay);
  unconfigured.steps = {{kShow, "$ \n", 0}};
  rows.push_back(unconfigured);

  HandsetCase version;
  version.name = "OtherInterfaceVersion";
  version.options = {"--version", "0100"};
  version.steps = {{{"login"}, kNotFound, 1}};
  rows.push_back(version);

  HandsetCase bindIn;
  bindIn.name = "InEndpointsCannotBeBound";
  bindIn.options = {"--fail-bind", "in"};
  bindIn.steps = {{{"login"}, kNotFound, 1}};
  rows.push_back(bindIn);

  HandsetCase bindOut;
  bindOut.name = "OutEndpointsCannotBeBound";
  bindOut.options = {"--fail-bind", "out"};
  bindOut.steps = {{kUpload, kNotFound, 1}};
  bindOut.imageSize = 1000;
  rows.push_back(bindOut);

  HandsetCase silentLogin;
  silentLogin.name = "SilentShellLogin";
  silentLogin.options = {"--silent"};
  silentLogin.steps = {{{"login"}, loginFailed1, 2}};
  rows.push_back(silentLogin);

  HandsetCase silentCommand;
  silentCommand.name = "SilentShellCommand";
  silentCommand.options = {"--silent"};
  silentCommand.steps = {{kShow, "", 1}};
  silentCommand.received = {"OUT 03 13 config show\\x0d\\x0a"};
  rows.push_back(silentCommand);

  HandsetCase split;
  split.name = "PromptsInTwoTransfers";
  split.options = {"--split-prompt"};
  split.steps = {{{"login"}, loginFailed1, 2}};
  rows.push_back(split);

  HandsetCase noReset;
  noReset.name = "ConfigWithoutReset";
  noReset.steps = {{{"config", "/power-mode", "active"}, "ok\n", 0}};
  noReset.settings = "WLANMGR0 /power-mode active\n";
  noReset.received = {"OUT 03 17 config activate\\x0d\\x0a", "IN 83 4 ok\\x0d\\x0a",
                      "OUT 03 6 exit\\x0d\\x0a"};
  rows.push_back(noReset);

  HandsetCase reset;
  reset.name = "ConfigWithReset";
  reset.options = {"--reset-needed"};
  reset.steps = {{{"config", "/power-mode", "active"}, "ok (reset)\n", 0}};
  reset.received = {"IN 83 14 reset needed\\x0d\\x0a", "OUT 03 7 reset\\x0d\\x0a"};
  rows.push_back(reset);

  HandsetCase unlisted;
  unlisted.name = "ValueNotOnItsList";
  unlisted.steps = {{{"config", "/cipher", "NONE", "/ssid", "lab"},
                     "velkor: unexpected option to /cipher\nok (reset)\n",
                     0}};
  unlisted.settings = "WLANMGR0 /ssid lab\n";
  unlisted.received = {"OUT 03 34 config change WLANMGR0 /ssid lab\\x0d\\x0a"};
  rows.push_back(unlisted);

  HandsetCase withheld;
  withheld.name = "ConfigWriteUnanswered";
  withheld.options = {"--withhold", "config write"};
  withheld.steps = {
      {{"config", "/power-mode", "active"}, "Error: waiting for KV30 answer (config write)\n", 2}};
  rows.push_back(withheld);

  return rows;
}

}  // namespace

const std::vector<HandsetCase>& HandsetTable() {
  static const std::vector<HandsetCase> table = BuildTable();
  return table;
}

}  // namespace blackbox
