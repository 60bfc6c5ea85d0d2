// The command line of kv30sim.
#ifndef VELKOR_KV30SIM_OPTIONS_H
#define VELKOR_KV30SIM_OPTIONS_H

#include <cstdint>
#include <string>
#include <utility>
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
  std::vector<std::pair<uint32_t, uint32_t>> swappedAcks;      // acknowledgement numbers
  std::vector<uint32_t> lineEndAcks;                           // sent with "\r\n" after them
  std::vector<std::pair<uint32_t, std::string>> replacedAcks;  // sent as this text instead
  std::vector<std::pair<uint32_t, uint32_t>> delayedAcks;      // number, milliseconds
  // Device.
  bool foreignFirst = false;
  bool unconfigured = false;
  bool versionSet = false;
  uint16_t version = 0x0200;
  bool failBindIn = false;
  bool failBindOut = false;
  bool failSetConfiguration = false;
  bool unopenableFirst = false;  // an instance that cannot be opened is listed first
  // The first reads on each IN endpoint fail, one per letter: 'e' a counted
  // error, 'p' a powered-down device.
  std::string readErrors;
  uint32_t failWrites = 0;     // the first writes on each OUT endpoint that fail
  uint32_t shortWrites = 0;    // the first writes on each OUT endpoint that move
  uint32_t shortWriteMax = 0;  // at most this many bytes
  // The process stops (kTripStop) or ends at once (kTripKill) when write
  // `tripWrite` (from 0, counted over both OUT endpoints) arrives, before it
  // is taken: a handset that hangs or dies. How is the front end's matter.
  enum Trip { kTripNone, kTripStop, kTripKill };
  Trip trip = kTripNone;
  uint32_t tripWrite = 0;
  // Connections (--garbage-after, --close-after): when `garbage` or `close`
  // is set, a connection that carried that many writes answers the next one
  // with a garbage frame, or closes unanswered. 0 is a count like any other.
  uint32_t garbageAfter = 0;
  uint32_t closeAfter = 0;
  bool garbage = false;
  bool close = false;
  // Outputs.
  std::string image;
  std::string log;
  std::string settings;
};

// Parses the words after the program name. False with `error` set (one line,
// without a line end, whatever the words hold) when a word is unknown or a
// value is missing or bad.
bool ParseOptions(const std::vector<std::string>& words, Options* options, std::string* error);

// The text --help prints.
const char* UsageText();

// What every front end does with its command line first: parses the words
// after the program name. False when the process is to end at once with
// `*exitStatus`: 2 after printing the refusal on standard error, 0 after
// printing the usage text for --help.
bool ReadCommandLine(int argc, char** argv, Options* options, int* exitStatus);

}  // namespace kv30sim

#endif
