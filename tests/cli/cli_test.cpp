// The command-line driver: banner, usage text, the order in which words are
// tried, and the word slices each command receives.
#include <gtest/gtest.h>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/main.h"
#include "app/trace.h"
#include "tests/cli/fake_commands.h"
#include "tests/support/stdout_capture.h"

namespace {

const char kBanner[] = "velkor 1.4 [08-60030]\n";

std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the driver on the words (the program path is added in front) and
// keeps what it printed.
struct DriverRun {
  std::vector<std::string> storage;
  std::vector<char*> argv;
  std::string output;
  int status = -1;

  explicit DriverRun(const std::vector<std::string>& words) : storage(words) {
    storage.insert(storage.begin(), "velkor");
    for (auto& word : storage) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    traceEnabled = false;
    resetCalls();

    StdoutCapture capture;
    status = velkorMain(static_cast<int>(storage.size()), argv.data());
    output = capture.Finish();
  }
};

TEST(Usage, HelpPrintsBannerAndTheUsageTextByteForByte) {
  DriverRun run({"help"});
  std::string usage = readFile(VELKOR_USAGE_FILE);
  ASSERT_FALSE(usage.empty());
  EXPECT_EQ(run.output, kBanner + usage);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(callCount, 0);
}

TEST(Usage, TextHasThirtyTwoLinesWithTheirBlanks) {
  std::string usage = readFile(VELKOR_USAGE_FILE);
  std::vector<std::string> lines;
  std::stringstream in(usage);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 32u);
  EXPECT_EQ(lines[1], " ");
  EXPECT_EQ(lines[4], " commands are config |upload|interactive|help ");
  EXPECT_EQ(lines[5].find("config"), 14u);
  EXPECT_EQ(lines[6], std::string(21, ' ') + "/ssid <ssid> ");
  EXPECT_EQ(lines[31], " 4. velkor.exe login; velkor.exe command config show ");
}

// Words that end in the driver itself, without a command.
struct DriverCase {
  std::vector<std::string> words;
  std::string printed;  // after the banner
  int status;
  bool trace;
};

std::string joined(const std::vector<std::string>& words) {
  std::string text = "velkor";
  for (const auto& word : words) text += " '" + word + "'";
  return text;
}

// A test name made of the words: letters and digits kept, a slash as "S",
// anything else as "_", the words joined by "__"; an empty word is named.
std::string caseName(const std::vector<std::string>& words) {
  if (words.empty()) return "no_words";
  std::string name;
  for (const auto& word : words) {
    if (!name.empty()) name += "__";
    if (word.empty()) name += "empty_word";
    for (char c : word) {
      if (isalnum(static_cast<unsigned char>(c))) {
        name += c;
      } else {
        name += c == '/' ? 'S' : '_';
      }
    }
  }
  return name;
}

template <class Case>
std::string nameOf(const testing::TestParamInfo<Case>& info) {
  return caseName(info.param.words);
}
void PrintTo(const DriverCase& c, std::ostream* os) { *os << joined(c.words); }

class DriverOnly : public testing::TestWithParam<DriverCase> {};

TEST_P(DriverOnly, PrintsAndReturns) {
  const DriverCase& c = GetParam();
  DriverRun run(c.words);
  std::string expected = c.printed == "USAGE" ? readFile(VELKOR_USAGE_FILE) : c.printed;
  EXPECT_EQ(run.output, kBanner + expected);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(traceEnabled, c.trace);
  EXPECT_EQ(callCount, 0) << "ran " << lastCall.name;
}

INSTANTIATE_TEST_SUITE_P(
    Words, DriverOnly,
    testing::Values(
        DriverCase{{}, "", 0, false}, DriverCase{{"/trace"}, "", 0, true},
        DriverCase{{"/login"}, "", 0, true}, DriverCase{{"/trace", "/login"}, "", 0, true},
        DriverCase{{"help", "upload", "x.bin"}, "USAGE", 0, false},
        DriverCase{{"/trace", "/trace", "help"}, "USAGE", 0, true},
        DriverCase{{"/login", "help"}, "USAGE", 0, true},
        DriverCase{{"Help"}, "velkor: unrecognized command: Help\n", 1, false},
        DriverCase{{"uploads", "x.bin"}, "velkor: unrecognized command: uploads\n", 1, false},
        DriverCase{{"/TRACE", "help"}, "velkor: unrecognized command: /TRACE\n", 1, false},
        DriverCase{{"bogus", "login"}, "velkor: unrecognized command: bogus\n", 1, false},
        DriverCase{{"/trace", "x", "help"}, "velkor: unrecognized command: x\n", 1, true},
        DriverCase{{""}, "velkor: unrecognized command: \n", 1, false},
        // A command word that needs a further word but is the last word is
        // refused with status 1.
        DriverCase{{"upload"}, "velkor: missing filename.\n", 1, false},
        DriverCase{{"config"}, "velkor: missing filename.\n", 1, false},
        DriverCase{{"command"}, "velkor: missing further params for command.\n", 1, false},
        DriverCase{{"/trace", "upload"}, "velkor: missing filename.\n", 1, true}),
    nameOf<DriverCase>);

// Words that reach a command: which one, with which slice of the words.
struct DispatchCase {
  std::vector<std::string> words;
  const char* command;
  int count;      // -1 for commands that take no word vector
  int firstWord;  // index into the words above of the slice's first element, -1 for none
  int status;
  bool trace;
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << joined(c.words); }

class Dispatch : public testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, CallsExactlyOneCommandWithItsSlice) {
  const DispatchCase& c = GetParam();
  DriverRun run(c.words);
  EXPECT_EQ(run.output, kBanner);
  EXPECT_EQ(run.status, c.status);
  ASSERT_EQ(callCount, 1);
  EXPECT_EQ(lastCall.name, c.command);
  EXPECT_EQ(lastCall.traceAtCall, c.trace);
  EXPECT_EQ(lastCall.count, c.count);
  if (lastCall.name == "upload") {
    // The file name is the process's own word, not a copy.
    EXPECT_EQ(lastCall.fileName, run.argv[c.firstWord + 1]);
  } else if (c.firstWord >= 0) {
    EXPECT_EQ(lastCall.words, run.argv.data() + c.firstWord + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Words, Dispatch,
    testing::Values(
        DispatchCase{{"upload", "a.bin", "b.bin", "upload"}, "upload", -1, 1, kUploadStatus, false},
        DispatchCase{{"upload", "/trace"}, "upload", -1, 1, kUploadStatus, false},
        DispatchCase{{"/trace", "upload", "kv30.bin"}, "upload", -1, 2, kUploadStatus, true},
        DispatchCase{{"upload", "x.bin", "login"}, "upload", -1, 1, kUploadStatus, false},
        DispatchCase{{"config", "/ssid", "lab"}, "config", 2, 1, kConfigStatus, false},
        DispatchCase{{"/login", "config", "/ssid"}, "config", 1, 2, kConfigStatus, true},
        DispatchCase{
            {"interactive", "help", "x"}, "interactive", -1, -1, kInteractiveStatus, false},
        DispatchCase{{"login"}, "login", 1, 0, kLoginStatus, false},
        DispatchCase{{"login", "/login", "u,p"}, "login", 3, 0, kLoginStatus, false},
        DispatchCase{{"/login", "login"}, "login", 1, 1, kLoginStatus, true},
        DispatchCase{{"login", "upload", "x"}, "login", 3, 0, kLoginStatus, false},
        DispatchCase{{"command", "config", "show"}, "command", 2, 1, kCommandStatus, false},
        DispatchCase{{"command", "/trace"}, "command", 1, 1, kCommandStatus, false},
        DispatchCase{{"/trace", "command", "help"}, "command", 1, 2, kCommandStatus, true}),
    nameOf<DispatchCase>);

TEST(Dispatch, LoginSliceStartsWithTheWordLogin) {
  DriverRun run({"/trace", "login", "/login", "admin,kv30"});
  ASSERT_EQ(lastCall.name, "login");
  EXPECT_STREQ(lastCall.words[0], "login");
  EXPECT_STREQ(lastCall.words[2], "admin,kv30");
}

}  // namespace
