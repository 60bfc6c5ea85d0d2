#include "sim/kv30sim/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kv30sim {

namespace {

bool ParseNumber(const std::string& text, int base, uint32_t most, uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > most) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

// A word as an error message shows it: on one line, whatever it holds.
// Printable ASCII stays as it is, a backslash becomes "\\" and every other
// byte "\x" and two hex digits.
std::string Shown(const std::string& word) {
  static const char digits[] = "0123456789abcdef";
  std::string shown;
  for (unsigned char c : word) {
    if (c == '\\') {
      shown += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      shown += static_cast<char>(c);
    } else {
      shown += "\\x";
      shown += digits[c >> 4];
      shown += digits[c & 15];
    }
  }
  return shown;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& words, Options* o, std::string* error) {
  for (size_t i = 0; i < words.size(); i++) {
    const std::string& w = words[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= words.size()) {
        *error = "missing value for " + Shown(w);
        return false;
      }
      *out = words[++i];
      return true;
    };
    auto number = [&](int base, uint32_t most, uint32_t* out) {
      std::string text;
      if (!value(&text)) return false;
      if (!ParseNumber(text, base, most, out)) {
        *error = "bad value for " + Shown(w) + ": " + Shown(text);
        return false;
      }
      return true;
    };
    uint32_t n = 0;
    if (w == "--help" || w == "-h") {
      o->help = true;
    } else if (w == "--name") {
      if (!value(&o->name)) return false;
      if (o->name.empty() || o->name.find('/') != std::string::npos || o->name[0] == '.') {
        *error = "bad value for --name: " + Shown(o->name);
        return false;
      }
    } else if (w == "--user") {
      if (!value(&o->user)) return false;
    } else if (w == "--password") {
      if (!value(&o->password)) return false;
    } else if (w == "--logged-in") {
      o->loggedIn = true;
    } else if (w == "--echo") {
      o->echo = true;
    } else if (w == "--reset-needed") {
      o->resetNeeded = true;
    } else if (w == "--silent") {
      o->silent = true;
    } else if (w == "--split-prompt") {
      o->splitPrompt = true;
    } else if (w == "--newline-prompt") {
      o->newlinePrompt = true;
    } else if (w == "--answer-delay") {
      if (!number(10, 600000, &o->answerDelayMs)) return false;
    } else if (w == "--withhold") {
      if (!value(&o->withhold)) return false;
    } else if (w == "--drop-ack") {
      if (!number(10, 0xFFFFFFFEu, &n)) return false;
      o->dropAcks.push_back(n);
    } else if (w == "--dup-ack") {
      if (!number(10, 0xFFFFFFFEu, &n)) return false;
      o->dupAcks.push_back(n);
    } else if (w == "--stall-after") {
      if (!number(10, 0xFFFFFFFEu, &o->stallAfter)) return false;
      o->stall = true;
    } else if (w == "--ack-delay") {
      if (!number(10, 600000, &o->ackDelayMs)) return false;
    } else if (w == "--ignore-header") {
      o->ignoreHeader = true;
    } else if (w == "--swap-acks") {
      uint32_t a = 0, b = 0;
      if (!number(10, 0xFFFFFFFEu, &a) || !number(10, 0xFFFFFFFEu, &b)) return false;
      o->swappedAcks.emplace_back(a, b);
    } else if (w == "--ack-line-end") {
      if (!number(10, 0xFFFFFFFEu, &n)) return false;
      o->lineEndAcks.push_back(n);
    } else if (w == "--replace-ack") {
      std::string text;
      if (!number(10, 0xFFFFFFFEu, &n) || !value(&text)) return false;
      o->replacedAcks.emplace_back(n, text);
    } else if (w == "--delay-ack") {
      uint32_t ms = 0;
      if (!number(10, 0xFFFFFFFEu, &n) || !number(10, 600000, &ms)) return false;
      o->delayedAcks.emplace_back(n, ms);
    } else if (w == "--fail-set-config") {
      o->failSetConfiguration = true;
    } else if (w == "--unopenable-first") {
      o->unopenableFirst = true;
    } else if (w == "--read-errors") {
      if (!value(&o->readErrors)) return false;
      if (o->readErrors.empty() || o->readErrors.find_first_not_of("ep") != std::string::npos) {
        *error = "bad value for --read-errors: " + Shown(o->readErrors) + " (letters e and p)";
        return false;
      }
    } else if (w == "--fail-writes") {
      if (!number(10, 0xFFFFFFFEu, &o->failWrites)) return false;
    } else if (w == "--short-writes") {
      if (!number(10, 0xFFFFFFFEu, &o->shortWrites) || !number(10, 0xFFFFFFFEu, &o->shortWriteMax))
        return false;
    } else if (w == "--stop-at-write" || w == "--kill-at-write") {
      if (!number(10, 0xFFFFFFFEu, &o->tripWrite)) return false;
      o->trip = w == "--stop-at-write" ? Options::kTripStop : Options::kTripKill;
    } else if (w == "--garbage-after") {
      if (!number(10, 0xFFFFFFFEu, &o->garbageAfter)) return false;
      o->garbage = true;
    } else if (w == "--close-after") {
      if (!number(10, 0xFFFFFFFEu, &o->closeAfter)) return false;
      o->close = true;
    } else if (w == "--foreign-first") {
      o->foreignFirst = true;
    } else if (w == "--unconfigured") {
      o->unconfigured = true;
    } else if (w == "--version") {
      std::string text;
      if (!value(&text)) return false;
      std::string digits = text;
      if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
      if (!ParseNumber(digits, 16, 0xFFFF, &n)) {
        *error = "bad value for --version: " + Shown(text);
        return false;
      }
      o->version = static_cast<uint16_t>(n);
      o->versionSet = true;
    } else if (w == "--fail-bind") {
      std::string side;
      if (!value(&side)) return false;
      if (side == "in") {
        o->failBindIn = true;
      } else if (side == "out") {
        o->failBindOut = true;
      } else {
        *error = "bad value for --fail-bind: " + Shown(side) + " (in or out)";
        return false;
      }
    } else if (w == "--image") {
      if (!value(&o->image)) return false;
    } else if (w == "--log") {
      if (!value(&o->log)) return false;
    } else if (w == "--settings") {
      if (!value(&o->settings)) return false;
    } else {
      *error = "unknown option: " + Shown(w);
      return false;
    }
  }
  return true;
}

const char* UsageText() {
  return "usage: kv30sim [options]\n"
         "A simulated KV30 handset that velkor on this machine finds like a plugged-in one.\n"
         "It publishes a socket in $KV30SIM_DIR (an absolute path), else\n"
         "$XDG_RUNTIME_DIR/kv30sim, else /tmp/kv30sim-<uid>, prints \"kv30sim: ready\" and\n"
         "runs until SIGTERM or SIGINT.\n"
         "\n"
         "shell (endpoint 3):\n"
         "  --user NAME          user name the shell accepts (default admin)\n"
         "  --password PW        password the shell accepts (default kv30)\n"
         "  --logged-in          the shell starts logged in\n"
         "  --echo               every received byte is echoed back\n"
         "  --reset-needed       config activate answers \"reset needed\"\n"
         "  --silent             the shell never answers\n"
         "  --split-prompt       prompts arrive as two transfers (\"$\" and \" \")\n"
         "  --newline-prompt     \"\\r\\n\" before every prompt\n"
         "  --answer-delay MS    every answer comes MS milliseconds after its line\n"
         "                       (default 20, a handset's reaction time)\n"
         "  --withhold LINE      no answer to this command line\n"
         "loader (endpoint 7):\n"
         "  --drop-ack N         acknowledgement N is never sent (may be repeated)\n"
         "  --dup-ack N          acknowledgement N is sent twice (may be repeated)\n"
         "  --stall-after N      no acknowledgement after the N-th (#0, the header's, is the "
         "first)\n"
         "  --ack-delay MS       every acknowledgement comes MS milliseconds late\n"
         "  --ignore-header      the upload header is never answered\n"
         "  --swap-acks A B      acknowledgements A and B change places (may be repeated)\n"
         "  --ack-line-end N     acknowledgement N is sent with \"\\r\\n\" after it\n"
         "  --replace-ack N TEXT acknowledgement N is sent as TEXT instead\n"
         "  --delay-ack N MS     acknowledgement N comes MS milliseconds late\n"
         "device:\n"
         "  --foreign-first      a foreign device is listed before the handset\n"
         "  --unconfigured       configuration value 0 until set\n"
         "  --version HEX        interface version the driver reports (default 0200)\n"
         "  --fail-bind in|out   binding the IN or OUT endpoints fails\n"
         "  --fail-set-config    the configuration request fails (see --unconfigured)\n"
         "  --unopenable-first   an instance that cannot be opened is listed first\n"
         "  --read-errors LIST   the first reads on each IN endpoint fail, one per\n"
         "                       letter: e an error, p a powered-down device (e.g. epe)\n"
         "  --fail-writes N      the first N writes on each OUT endpoint fail\n"
         "  --short-writes N MAX the first N writes on each OUT endpoint move at most\n"
         "                       MAX bytes\n"
         "  --name NAME          socket name (default kv30; NAME.sock)\n"
         "faults of the process and of its connections:\n"
         "  --stop-at-write N    kv30sim stops itself (SIGSTOP) when write N arrives\n"
         "                       (from 0, over both OUT endpoints), before taking it\n"
         "  --kill-at-write N    the same, but kv30sim dies (SIGKILL)\n"
         "  --garbage-after N    a connection that carried N writes answers the next\n"
         "                       one with a frame of garbage\n"
         "  --close-after N      a connection that carried N writes closes when the\n"
         "                       next one arrives, leaving it unanswered\n"
         "outputs:\n"
         "  --image FILE         each completely received image is written to FILE\n"
         "  --log FILE           transcript, one line per transfer:\n"
         "                       OUT|IN, endpoint (hex), byte count, bytes\n"
         "  --settings FILE      the shell's stored settings, kept up to date\n"
         "  --help               this text\n";
}

bool ReadCommandLine(int argc, char** argv, Options* options, int* exitStatus) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  std::string error;
  if (!ParseOptions(words, options, &error)) {
    fprintf(stderr, "kv30sim: %s (see kv30sim --help)\n", error.c_str());
    *exitStatus = 2;
    return false;
  }
  if (options->help) {
    fputs(UsageText(), stdout);
    *exitStatus = 0;
    return false;
  }
  return true;
}

}  // namespace kv30sim
