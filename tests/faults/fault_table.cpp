#include "fault_table.h"

#include <cstdio>

namespace faults {
namespace {

const std::vector<std::string> kLogin = {"login"};
const std::vector<std::string> kShow = {"command", "config", "show"};
const std::vector<std::string> kConfig = {"config", "/ssid", "lab", "/prot", "sip"};
const std::vector<std::string> kUpload = {"upload", "kv30.bin"};
const std::vector<std::string> kInteractive = {"interactive"};

const char kLogin1[] = "Error: waiting for KV30 answer (login-1)\n";
const char kLogin2[] = "Error: waiting for KV30 answer (login-2)\n";
const char kLogin3[] = "Error: waiting for KV30 answer (login-3)\n";
const char kConfigWlan[] = "Error: waiting for KV30 answer (config wlan)\n";
const char kNotFound[] = "KV30 not found.";

// Transcript lines.
const char kLineEnd[] = "OUT 03 2 \\x0d\\x0a";
const char kUser[] = "OUT 03 5 admin";
const char kPassword[] = "OUT 03 4 kv30";
const char kShowLine[] = "OUT 03 13 config show\\x0d\\x0a";
const char kWlanLine[] = "OUT 03 34 config change WLANMGR0 /ssid lab\\x0d\\x0a";
const char kPhoneLine[] = "OUT 03 35 config change PHONE SIG /prot sip\\x0d\\x0a";
const char kHeader1000[] = "OUT 07 15 ! upload  1000\\x00";
const char kHeader2048[] = "OUT 07 15 ! upload  2048\\x00";
const char kAnyWrite[] = "OUT ";

// A write that the handset stops taking ends within this of the stall:
// 5 s for the write, then the link is stuck and the command ends at once.
const int kStallBound = 10000;

// The progress lines of the first `chunks` chunks of an upload of `size`
// bytes, as velkor's standard output shows them when it is not the console:
// the carriage return before each goes to the console.
std::string Progress(size_t size, size_t chunks) {
  std::string text;
  size_t sent = 0;
  unsigned acks = 0;
  for (size_t i = 0; i < chunks && sent < size; i++) {
    const size_t chunk = size - sent < 512 ? size - sent : 512;
    sent += chunk;
    acks += static_cast<unsigned>((chunk - 1) / 64 + 1);
    char line[64];
    snprintf(line, sizeof line, "%7.u/%7.u (%3.2u %%) #%6.6u", static_cast<unsigned>(sent),
             static_cast<unsigned>(size), static_cast<unsigned>(sent / (size / 100)), acks);
    text += line;
  }
  return text;
}

std::string Times(const std::string& text, int count) {
  std::string all;
  for (int i = 0; i < count; i++) all += text;
  return all;
}

// clang-format off
std::vector<FaultRow> Build() {
  std::vector<FaultRow> rows;
  auto add = [&rows](FaultRow row) { rows.push_back(std::move(row)); };
  const std::string uploaded1000 = Progress(1000, 2) + "\nok\n";

  // --- The loader's acknowledgements -------------------------------------
  // An upload of 1000 bytes: #0 for the header, #1 to #8 for the first
  // chunk, #9 to #16 for the second.
  add({"AckDropped", {"--drop-ack", "3"}, kUpload, "",
       Times("Error: unexpected usb ack #3\n", 5) + "Error: waiting for ack #2\n", 2,
       {kHeader1000, "IN 87 2 #2", "IN 87 2 #4"}, {"IN 87 2 #3"},
       6000, HandsetEnd::kRuns, 1000});
  add({"AckDuplicated", {"--dup-ack", "3"}, kUpload, "",
       "Error: unexpected usb ack #4\n" + uploaded1000, 0,
       {kHeader1000, "IN 87 2 #3", "IN 87 2 #3", "IN 87 3 #16"}, {},
       6000, HandsetEnd::kRuns, 1000});
  add({"AcksReordered", {"--swap-acks", "2", "3"}, kUpload, "",
       "Error: unexpected usb ack #2\n" + Times("Error: unexpected usb ack #3\n", 5) +
           "Error: waiting for ack #2\n", 2,
       {kHeader1000, "IN 87 2 #1", "IN 87 2 #3", "IN 87 2 #2", "IN 87 2 #4"}, {},
       6000, HandsetEnd::kRuns, 1000});
  add({"AckLaterThanTheWait", {"--delay-ack", "5", "3000"}, kUpload, "",
       "Error: waiting for ack #4\n", 2,
       {kHeader1000, "IN 87 2 #4"}, {},
       6000, HandsetEnd::kRuns, 1000});
  add({"AcksLateButInTime", {"--ack-delay", "1500"}, kUpload, "",
       uploaded1000, 0,
       {kHeader1000, "IN 87 2 #0", "IN 87 3 #16"}, {},
       12000, HandsetEnd::kRuns, 1000});
  add({"AckWithALineEnd", {"--ack-line-end", "1"}, kUpload, "",
       Times("Error: unexpected usb ack #1\n", 8) + "Error: waiting for ack #0\n", 2,
       {kHeader1000, "IN 87 4 #1\\x0d\\x0a", "IN 87 2 #8"}, {},
       6000, HandsetEnd::kRuns, 1000});
  add({"AckGarbage", {"--replace-ack", "1", "#x1"}, kUpload, "",
       Times("Error: unexpected usb ack #1\n", 8) + "Error: waiting for ack #0\n", 2,
       {kHeader1000, "IN 87 3 #x1"}, {},
       6000, HandsetEnd::kRuns, 1000});
  add({"AcksMissingAfterTheHeader", {"--stall-after", "1"}, kUpload, "",
       "Error: waiting for ack #0\n", 2,
       {kHeader1000, "IN 87 2 #0", "OUT 07 512 "}, {"IN 87 2 #1"},
       6000, HandsetEnd::kRuns, 1000});
  add({"HeaderUnanswered", {"--ignore-header"}, kUpload, "",
       "Error: waiting for ack #0\n", 2,
       {kHeader1000}, {"IN 87", "OUT 07 512 "},
       8000, HandsetEnd::kRuns, 1000});
  // #0 and nine data acknowledgements: the first chunk and one piece of
  // the second.
  add({"LoaderStalledAfterTenPieces", {"--stall-after", "10"}, kUpload, "",
       Progress(2048, 1) + "Error: waiting for ack #9\n", 2,
       {kHeader2048, "IN 87 2 #9"}, {"IN 87 3 #10"},
       6000, HandsetEnd::kRuns, 2048});

  // --- The shell's prompts and answers ------------------------------------
  // A split prompt is two transfers, neither of them the prompt; the shell
  // takes the bare line ends as user name and password.
  add({"SplitPrompts", {"--split-prompt"}, kLogin, "",
       kLogin1, 2,
       {kLineEnd, "IN 83 5 user:", "IN 83 1  ", kLineEnd, kLineEnd, kLineEnd, kLineEnd}, {kUser},
       6000});
  add({"NewlineBeforePrompts", {"--newline-prompt"}, kLogin, "",
       kLogin1, 2,
       {kLineEnd, "IN 83 8 \\x0d\\x0auser: ", kLineEnd, kLineEnd, kLineEnd, kLineEnd}, {kUser},
       6000});
  add({"UserNameUnanswered", {"--withhold", "admin"}, kLogin, "",
       kLogin2, 2,
       {kLineEnd, kUser, kLineEnd}, {kPassword},
       6000});
  add({"ConfigWriteUnanswered", {"--logged-in", "--withhold", "config write"}, kConfig, "",
       "Error: waiting for KV30 answer (config write)\n", 2,
       {kWlanLine, kPhoneLine, "OUT 03 14 config write\\x0d\\x0a"}, {"OUT 03 17 config activate"},
       6000});
  add({"WrongPassword", {"--password", "other"}, kLogin, "",
       kLogin3, 2,
       {kUser, kPassword, "IN 83 17 login incorrect\\x0d\\x0a"}, {},
       8000});
  add({"SilentShell", {"--silent"}, kLogin, "",
       kLogin1, 2,
       {kLineEnd, kLineEnd, kLineEnd, kLineEnd, kLineEnd}, {"IN 83", kUser},
       6000});
  add({"ResetNeeded", {"--logged-in", "--reset-needed"}, kConfig, "",
       "ok (reset)\n", 0,
       {kWlanLine, kPhoneLine, "IN 83 14 reset needed\\x0d\\x0a", "OUT 03 7 reset\\x0d\\x0a"},
       {"OUT 03 6 exit"},
       8000});

  // --- kv30sim stopped or killed in the middle of a command ---------------
  // Writes are counted from 0 over the whole handset. A stopped handset
  // stalls the write it was given: the write is given up after 5 s, the
  // link is stuck and the command ends through its own message. A killed
  // one fails every transfer at once; the command's waits run out.
  add({"StoppedDuringLogin", {"--stop-at-write", "3"}, kLogin, "",
       kLogin3, 2,
       {kLineEnd, kUser, kLineEnd}, {kPassword},
       kStallBound, HandsetEnd::kStopped});
  add({"KilledDuringLogin", {"--kill-at-write", "3"}, kLogin, "",
       kLogin3, 2,
       {kLineEnd, kUser, kLineEnd}, {kPassword},
       8000, HandsetEnd::kKilled});
  add({"StoppedDuringCommand", {"--logged-in", "--stop-at-write", "0"}, kShow, "",
       "", 1,
       {}, {kAnyWrite},
       kStallBound, HandsetEnd::kStopped});
  add({"KilledDuringCommand", {"--logged-in", "--kill-at-write", "0"}, kShow, "",
       "", 1,
       {}, {kAnyWrite},
       6000, HandsetEnd::kKilled});
  add({"StoppedDuringConfig", {"--logged-in", "--stop-at-write", "2"}, kConfig, "",
       kConfigWlan, 2,
       {kLineEnd, kWlanLine}, {kPhoneLine, "OUT 03 14 config write"},
       kStallBound, HandsetEnd::kStopped});
  add({"KilledDuringConfig", {"--logged-in", "--kill-at-write", "2"}, kConfig, "",
       kConfigWlan, 2,
       {kLineEnd, kWlanLine}, {kPhoneLine, "OUT 03 14 config write"},
       6000, HandsetEnd::kKilled});
  add({"StoppedDuringUpload", {"--stop-at-write", "2"}, kUpload, "",
       Progress(1000, 1) + "Error: writing to USB (0!=488)\n", 2,
       {kHeader1000, "IN 87 2 #8"}, {"OUT 07 488 "},
       kStallBound, HandsetEnd::kStopped, 1000});
  add({"KilledDuringUpload", {"--kill-at-write", "2"}, kUpload, "",
       Progress(1000, 1) + "Error: writing to USB (0!=488)\n", 2,
       {kHeader1000, "IN 87 2 #8"}, {"OUT 07 488 "},
       6000, HandsetEnd::kKilled, 1000});
  // Keys a, b and Enter from a file; the handset stops or dies at the a.
  // The end of the input then ends the terminal, as Ctrl-C does.
  add({"StoppedDuringInteractive", {"--silent", "--stop-at-write", "1"}, kInteractive, "ab\r",
       "CTRL-C\n", 0,
       {kLineEnd}, {"OUT 03 1 "},
       kStallBound, HandsetEnd::kStopped});
  add({"KilledDuringInteractive", {"--silent", "--kill-at-write", "1"}, kInteractive, "ab\r",
       "CTRL-C\n", 0,
       {kLineEnd}, {"OUT 03 1 "},
       6000, HandsetEnd::kKilled});

  // --- Read errors on the way back ---------------------------------------
  // The link's reader gives up after more than 3 errors in a row; a
  // powered-down handset's reads neither count nor break the row.
  add({"ReadErrorsBelowTheLimit", {"--read-errors", "ee"}, kLogin, "",
       "", 0,
       {kUser, kPassword}, {},
       6000});
  add({"ReadErrorsAtTheLimit", {"--read-errors", "eee"}, kLogin, "",
       "", 0,
       {kUser, kPassword}, {},
       6000});
  add({"ReadErrorsAboveTheLimit", {"--read-errors", "eeee"}, kLogin, "",
       kLogin1, 2,
       {kLineEnd, kLineEnd, kLineEnd, kLineEnd, kLineEnd}, {kUser},
       6000});
  add({"PoweredDownBetweenErrorsAtTheLimit", {"--read-errors", "pepepep"}, kLogin, "",
       "", 0,
       {kUser, kPassword}, {},
       6000});
  add({"PoweredDownBetweenErrorsAboveTheLimit", {"--read-errors", "epepepe"}, kLogin, "",
       kLogin1, 2,
       {kLineEnd, kLineEnd, kLineEnd, kLineEnd, kLineEnd}, {kUser},
       6000});

  // --- Writes the handset takes short or fails ----------------------------
  add({"ShortWriteOfAChunk", {"--short-writes", "2", "100"}, kUpload, "",
       "Error: writing to USB (100!=512)\n", 2,
       {kHeader1000, "OUT 07 100 "}, {"OUT 07 512 "},
       6000, HandsetEnd::kRuns, 1000});
  // The user name arrives cut to "adm": the login goes on and is refused.
  add({"ShortWriteOfTheUserName", {"--short-writes", "2", "3"}, kLogin, "",
       kLogin3, 2,
       {kLineEnd, "OUT 03 3 adm", kPassword, "IN 83 17 login incorrect"}, {kUser},
       8000});
  add({"FailedWriteOfTheHeader", {"--fail-writes", "1"}, kUpload, "",
       "Error: writing header to USB\n", 2,
       {}, {kAnyWrite},
       6000, HandsetEnd::kRuns, 1000});
  // The first line end fails; the login asks again and goes on.
  add({"FailedFirstWriteOfTheLogin", {"--fail-writes", "1"}, kLogin, "",
       "", 0,
       {kLineEnd, kUser, kPassword}, {},
       6000});

  // --- Finding the handset -----------------------------------------------
  add({"UnopenableInstanceBeforeTheHandset", {"--unopenable-first"}, kLogin, "",
       kNotFound, 1,
       {}, {kAnyWrite},
       6000});
  add({"ForeignDeviceFirst", {"--foreign-first"}, kLogin, "",
       "", 0,
       {kUser, kPassword}, {},
       6000});
  add({"InterfaceVersionMismatch", {"--version", "0100"}, kLogin, "",
       kNotFound, 1,
       {}, {kAnyWrite},
       6000});
  add({"UnconfiguredHandsetIsConfigured", {"--unconfigured"}, kLogin, "",
       "", 0,
       {kUser, kPassword}, {},
       6000});
  add({"UnconfiguredHandsetWhoseConfigurationFails", {"--unconfigured", "--fail-set-config"},
       kLogin, "",
       kNotFound, 1,
       {}, {kAnyWrite},
       6000});
  add({"BindFailsOnIn", {"--fail-bind", "in"}, kLogin, "",
       kNotFound, 1,
       {}, {kAnyWrite},
       6000});
  add({"BindFailsOnOut", {"--fail-bind", "out"}, kLogin, "",
       kNotFound, 1,
       {}, {kAnyWrite},
       6000});

  // --- The socket to kv30sim ---------------------------------------------
  // velkor's side drops a connection that carries garbage or closes: the
  // write fails, and so does every later one on that connection.
  add({"GarbageOnTheSocket", {"--logged-in", "--garbage-after", "0"}, kShow, "",
       "", 1,
       {}, {kAnyWrite},
       6000});
  add({"GarbageOnTheSocketDuringUpload", {"--garbage-after", "1"}, kUpload, "",
       "Error: writing to USB (0!=512)\n", 2,
       {kHeader1000, "IN 87 2 #0"}, {"OUT 07 512 "},
       6000, HandsetEnd::kRuns, 1000});
  add({"SocketClosedMidTransfer", {"--close-after", "1"}, kUpload, "",
       "Error: writing to USB (0!=512)\n", 2,
       {kHeader1000, "IN 87 2 #0"}, {"OUT 07 512 "},
       6000, HandsetEnd::kRuns, 1000});
  add({"SocketClosedDuringLogin", {"--close-after", "1"}, kLogin, "",
       kLogin2, 2,
       {kLineEnd}, {kUser},
       6000});
  return rows;
}
// clang-format on

}  // namespace

const std::vector<FaultRow>& FaultTable() {
  static const std::vector<FaultRow> rows = Build();
  return rows;
}

}  // namespace faults
