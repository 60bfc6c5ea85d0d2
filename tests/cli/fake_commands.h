// What the fake commands of the driver tests saw.
#ifndef VELKOR_TESTS_CLI_FAKE_COMMANDS_H
#define VELKOR_TESTS_CLI_FAKE_COMMANDS_H

#include <string>

struct CommandCall {
  std::string name;  // empty when no command ran
  int count = -1;
  char** words = nullptr;
  const char* fileName = nullptr;
  bool traceAtCall = false;
};

extern CommandCall lastCall;
extern int callCount;
void resetCalls();

// The statuses the fakes return, distinct so a test sees whose value came back.
constexpr int kUploadStatus = 41;
constexpr int kConfigStatus = 42;
constexpr int kInteractiveStatus = 43;
constexpr int kLoginStatus = 44;
constexpr int kCommandStatus = 45;

#endif
