#include "tests/shell/dialogue.h"

#include <posixplat/testing.h>

#include "app/command.h"
#include "app/config.h"
#include "app/login.h"
#include "app/trace.h"
#include "tests/support/stdout_capture.h"
#include "sim/register.h"

void Dialogue::SetUp() {
  posixplat::Reset();
  device = std::make_shared<sim::Device>();
  shell = std::make_shared<sim::Shell>();
  device->SetFunction(3, shell);
  sim::RegisterHandset(device);
  handlesBefore = posixplat::OpenHandleCount();
}

void Dialogue::TearDown() {
  traceEnabled = false;
  sim::UnregisterAllHandsets();
  device.reset();
  posixplat::Reset();
}

Outcome Dialogue::run(int (*entry)(int, char**), const std::vector<std::string>& words) {
  std::vector<std::vector<char>> storage;
  for (const std::string& w : words) storage.emplace_back(w.c_str(), w.c_str() + w.size() + 1);
  std::vector<char*> vector;
  for (std::vector<char>& s : storage) vector.push_back(s.data());
  vector.push_back(nullptr);
  StdoutCapture capture;
  auto start = std::chrono::steady_clock::now();
  int status = entry(static_cast<int>(words.size()), vector.data());
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  Outcome result{status, capture.Finish(), ms};
  // Every command closes its link before it returns.
  posixplat::FlushCompletions();
  EXPECT_EQ(0, posixplat::OpenDriverHandleCount());
  EXPECT_EQ(handlesBefore, posixplat::OpenHandleCount());
  EXPECT_EQ(0, device->OpenSessions());
  return result;
}

Outcome Dialogue::Login(const std::vector<std::string>& words) { return run(loginCommand, words); }
Outcome Dialogue::Command(const std::vector<std::string>& words) {
  return run(commandCommand, words);
}
Outcome Dialogue::Config(const std::vector<std::string>& words) {
  return run(configCommand, words);
}

std::vector<std::string> Dialogue::LineTexts() const {
  std::vector<std::string> texts;
  for (const sim::Shell::Line& line : shell->Lines()) texts.push_back(line.text);
  return texts;
}

std::vector<std::string> Dialogue::CommandLines() const {
  std::vector<std::string> texts;
  for (const sim::Shell::Line& line : shell->Lines())
    if (line.stage == sim::Shell::kCommand) texts.push_back(line.text);
  return texts;
}
