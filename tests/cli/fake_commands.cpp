// Stand-ins for the commands, linked instead of the real ones, so the tests
// see exactly which command the driver called and with which words.
#include "tests/cli/fake_commands.h"

#include "app/command.h"
#include "app/config.h"
#include "app/interactive.h"
#include "app/login.h"
#include "app/trace.h"
#include "app/upload.h"

CommandCall lastCall;
int callCount = 0;

void resetCalls() {
  lastCall = CommandCall();
  callCount = 0;
}

static int record(const char* name, int count, char** words, const char* fileName, int status) {
  callCount++;
  lastCall.name = name;
  lastCall.count = count;
  lastCall.words = words;
  lastCall.fileName = fileName;
  lastCall.traceAtCall = traceEnabled;
  return status;
}

int uploadCommand(const char* fileName) {
  return record("upload", -1, nullptr, fileName, kUploadStatus);
}
int configCommand(int count, char** words) {
  return record("config", count, words, nullptr, kConfigStatus);
}
int interactiveCommand() { return record("interactive", -1, nullptr, nullptr, kInteractiveStatus); }
int loginCommand(int count, char** words) {
  return record("login", count, words, nullptr, kLoginStatus);
}
int commandCommand(int count, char** words) {
  return record("command", count, words, nullptr, kCommandStatus);
}
