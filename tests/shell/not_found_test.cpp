// Every shell command on a machine without a handset.
#include <gtest/gtest.h>
#include <posixplat/testing.h>

#include <string>
#include <vector>

#include "app/command.h"
#include "app/config.h"
#include "app/interactive.h"
#include "app/login.h"
#include "sim/register.h"
#include "tests/support/stdout_capture.h"

namespace {

int LoginWords(int, char**) {
  static char login[] = "login";
  char* words[] = {login, nullptr};
  return loginCommand(1, words);
}
int CommandWords(int, char**) {
  static char word[] = "dance";
  char* words[] = {word, nullptr};
  return commandCommand(1, words);
}
int ConfigWords(int, char**) {
  // An option the table does not know: the handset is looked for first.
  static char word[] = "/bogus";
  char* words[] = {word, nullptr};
  return configCommand(1, words);
}
int Interactive(int, char**) { return interactiveCommand(); }

TEST(NotFound, EveryCommandSaysSoAndReturnsOne) {
  struct Case {
    const char* name;
    int (*entry)(int, char**);
  } cases[] = {{"login", LoginWords},
               {"command", CommandWords},
               {"config", ConfigWords},
               {"interactive", Interactive}};
  for (const Case& c : cases) {
    posixplat::Reset();
    sim::UnregisterAllHandsets();
    int handles = posixplat::OpenHandleCount();
    StdoutCapture capture;
    int status = c.entry(0, nullptr);
    EXPECT_EQ(1, status) << c.name;
    EXPECT_EQ("KV30 not found.", capture.Finish()) << c.name;
    EXPECT_EQ(0, posixplat::OpenDriverHandleCount()) << c.name;
    EXPECT_EQ(handles, posixplat::OpenHandleCount()) << c.name;
  }
}

}  // namespace
