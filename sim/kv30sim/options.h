// The command line of kv30sim.
#ifndef VELKOR_KV30SIM_OPTIONS_H
#define VELKOR_KV30SIM_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace kv30sim {

struct Options {
  bool help = false;
  std::string name = "kv30";  // socket <name>.sock in the kv30sim folder
  // Shell.
  std::string user = "admin";
  std::string password = "kv30";
  bool loggedIn = false;
  bool echo = false;
  bool resetNeeded = false;
  bool silent = false;
  bool splitPrompt = false;
  bool newlinePrompt = false;
  // A real handset takes a moment to answer each line.
  uint32_t answerDelayMs = 20;
  std::string withhold;  // a command line the shell never answers; empty for none
  // Loader.
  std::vector<uint32_t> dropAcks;
  std::vector<uint32_t> dupAcks;
  bool stall = false;
  uint32_t stallAfter = 0;
  uint32_t ackDelayMs = 0;
  bool ignoreHeader = false;
  // Device.
  bool foreignFirst = false;
  bool unconfigured = false;
  bool versionSet = false;
  uint16_t version = 0x0200;
  bool failBindIn = false;
  bool failBindOut = false;
  // Outputs.
  std::string image;
  std::string log;
  std::string settings;
};

// Parses the words after the program name. False with `error` set (one line,
// without a line end) when a word is unknown or a value is missing or bad.
bool ParseOptions(const std::vector<std::string>& words, Options* options, std::string* error);

// The text --help prints.
const char* UsageText();

}  // namespace kv30sim

#endif
