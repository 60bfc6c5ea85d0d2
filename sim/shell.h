// The simulated handset's text shell (endpoint number 3).
//
// Logged out, any line is answered with "user: ", the next line (the user
// name) with "password: ", and the next (the password) with "$ " for the right
// pair, otherwise with "login incorrect\r\n" and the shell is logged out
// again. Logged in, the shell runs one command per line and shows "$ ". Lines
// end at CR or at a bare LF (an LF right after a CR belongs to the CR); they
// may arrive spread over several writes. Every prompt and answer is one IN
// transfer of its own.
//
// The shell's state lives in this object, so a login outlasts the link that
// made it. All operations are safe to call from any thread.
#ifndef VELKOR_SIM_SHELL_H
#define VELKOR_SIM_SHELL_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/function.h"

namespace sim {

class Shell : public Function {
 public:
  // Where in the dialogue a received line arrived.
  enum Stage { kIdle, kUser, kPassword, kCommand };

  struct Line {
    std::string text;  // without its line end
    Stage stage;       // what the shell was waiting for when the line came
  };

  // How "config activate" answers.
  enum ActivateAnswer {
    kActivateNormal,       // "reset needed" when a change needs a reset, else "ok"
    kActivateResetThenOk,  // "reset needed", then "ok"
    kActivateOkThenReset,  // "ok", then "reset needed"
  };

  Shell();

  WriteResult OnWrite(const uint8_t* data, uint32_t length, InPipe& in) override;

  // Behaviour.
  void SetCredentials(const std::string& user, const std::string& password);
  void SetLoggedIn(bool loggedIn);
  void SetEcho(bool echo);                    // send every write back as it arrives
  void SetSilent(bool silent);                // never answer anything
  void SetWithheld(const std::string& line);  // no answer to this line (exact text); adds up
  void ClearWithheld();                       // answers every line again
  void SetSplitPrompt(bool split);            // prompts as two transfers, e.g. "$" and " "
  void SetNewlineBeforePrompt(bool newline);  // "\r\n" in front of every prompt, same transfer
  void SetAnswerDelay(uint32_t ms);           // every answer is due this long after the write
  void SetActivateAnswer(ActivateAnswer answer);
  // Logged in, the line `command` is answered with these transfers instead
  // of running it (the prompt is not added).
  void SetReply(const std::string& command, const std::vector<std::string>& transfers);

  // What happened.
  bool LoggedIn() const;
  std::string Received() const;              // every byte written, in order
  std::vector<std::string> Writes() const;   // one element per write
  std::vector<Line> Lines() const;           // every completed line
  std::vector<std::string> Answers() const;  // every IN transfer, in order
  // The stored settings, one "GROUP /setting value" text each, in the order
  // they were first set (GROUP is WLANMGR0 or PHONE SIG).
  std::vector<std::string> Settings() const;
  int ConfigWrites() const;  // "config write" commands run
  int Activations() const;   // "config activate" commands run
  // Waits until at least `count` writes have arrived; false after timeoutMs.
  bool WaitForWrites(size_t count, int timeoutMs) const;

 private:
  struct Setting {
    std::string group;
    std::string name;
    std::string value;
  };

  void handleLine(const std::string& line, std::vector<std::string>& out);
  void runCommand(const std::string& line, std::vector<std::string>& out);
  bool changeSettings(const std::string& group, const std::vector<std::string>& words,
                      std::vector<std::string>& out);
  void prompt(const char* text, std::vector<std::string>& out) const;

  mutable std::mutex lock;
  mutable std::condition_variable written;

  // Behaviour.
  std::string user = "admin";
  std::string password = "kv30";
  bool echo = false;
  bool silent = false;
  std::vector<std::string> withheld;
  bool splitPrompt = false;
  bool newlineBeforePrompt = false;
  uint32_t answerDelay = 0;
  ActivateAnswer activateAnswer = kActivateNormal;
  std::vector<std::pair<std::string, std::vector<std::string>>> replies;

  // Dialogue.
  Stage stage = kIdle;
  std::string pendingUser;
  std::string partial;  // bytes of the line being received
  bool lastWasCr = false;
  std::vector<Setting> settings;
  bool resetPending = false;
  int configWrites = 0;
  int activations = 0;

  // Record.
  std::string received;
  std::vector<std::string> writes;
  std::vector<Line> lines;
  std::vector<std::string> answers;
};

}  // namespace sim

#endif
