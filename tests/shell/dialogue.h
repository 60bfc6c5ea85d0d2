// The shell commands end to end: the real commands over the real link and
// platform layer, against a simulated handset with its shell on endpoint 3.
#ifndef VELKOR_TESTS_SHELL_DIALOGUE_H
#define VELKOR_TESTS_SHELL_DIALOGUE_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/shell.h"

struct Outcome {
  int status;
  std::string output;
  long long ms;  // how long the command took
};

class Dialogue : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs a command entry operation with these words (copied, writable) and
  // captures its output; afterwards nothing of the link is left open.
  Outcome Login(const std::vector<std::string>& words);    // words[0] is "login"
  Outcome Command(const std::vector<std::string>& words);  // words after "command"
  Outcome Config(const std::vector<std::string>& words);   // words after "config"

  // Texts of the shell's received lines, in order.
  std::vector<std::string> LineTexts() const;
  // The lines received while logged in (the commands after the login).
  std::vector<std::string> CommandLines() const;
  // How the link's writes were cut: one element per host write.
  std::vector<std::string> Writes() const { return shell->Writes(); }

  std::shared_ptr<sim::Device> device;
  std::shared_ptr<sim::Shell> shell;

 private:
  Outcome run(int (*entry)(int, char**), const std::vector<std::string>& words);
  int handlesBefore = 0;
};

#endif
