#include "sim/shell.h"

#include <chrono>
#include <cstring>

namespace sim {

namespace {

const char* const wlanSettings[] = {
    "/ssid",       "/wep-key",         "/wep-index", "/cipher",   "/security-mode", "/assoc",
    "/auth",       "/passphrase",      "/user",      "/password", "/regdomain",     "/power-save",
    "/power-mode", "/power-mode-call",
};
const char* const phoneSettings[] = {"/gk-addr", "/e164", "/h323", "/prot"};

// Settings whose change takes effect only after a reset: everything that
// decides how the handset joins the network or which signalling it speaks.
// Power modes and the registration data are taken over on activation.
const char* const resetSettings[] = {
    "/ssid", "/wep-key",    "/wep-index", "/cipher",   "/security-mode", "/assoc",
    "/auth", "/passphrase", "/user",      "/password", "/regdomain",     "/prot",
};

template <size_t N>
bool listed(const std::string& word, const char* const (&list)[N]) {
  for (const char* entry : list)
    if (word == entry) return true;
  return false;
}

std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') i++;
    size_t start = i;
    while (i < line.size() && line[i] != ' ') i++;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

const size_t maxLine = 4096;

}  // namespace

Shell::Shell() = default;

void Shell::SetCredentials(const std::string& newUser, const std::string& newPassword) {
  std::lock_guard<std::mutex> hold(lock);
  user = newUser;
  password = newPassword;
}

void Shell::SetLoggedIn(bool loggedIn) {
  std::lock_guard<std::mutex> hold(lock);
  stage = loggedIn ? kCommand : kIdle;
}

void Shell::SetEcho(bool on) {
  std::lock_guard<std::mutex> hold(lock);
  echo = on;
}

void Shell::SetSilent(bool on) {
  std::lock_guard<std::mutex> hold(lock);
  silent = on;
}

void Shell::SetWithheld(const std::string& line) {
  std::lock_guard<std::mutex> hold(lock);
  withheld.push_back(line);
}

void Shell::ClearWithheld() {
  std::lock_guard<std::mutex> hold(lock);
  withheld.clear();
}

void Shell::SetSplitPrompt(bool on) {
  std::lock_guard<std::mutex> hold(lock);
  splitPrompt = on;
}

void Shell::SetNewlineBeforePrompt(bool on) {
  std::lock_guard<std::mutex> hold(lock);
  newlineBeforePrompt = on;
}

void Shell::SetAnswerDelay(uint32_t ms) {
  std::lock_guard<std::mutex> hold(lock);
  answerDelay = ms;
}

void Shell::SetActivateAnswer(ActivateAnswer answer) {
  std::lock_guard<std::mutex> hold(lock);
  activateAnswer = answer;
}

void Shell::SetReply(const std::string& command, const std::vector<std::string>& transfers) {
  std::lock_guard<std::mutex> hold(lock);
  for (auto& reply : replies) {
    if (reply.first == command) {
      reply.second = transfers;
      return;
    }
  }
  replies.emplace_back(command, transfers);
}

bool Shell::LoggedIn() const {
  std::lock_guard<std::mutex> hold(lock);
  return stage == kCommand;
}

std::string Shell::Received() const {
  std::lock_guard<std::mutex> hold(lock);
  return received;
}

std::vector<std::string> Shell::Writes() const {
  std::lock_guard<std::mutex> hold(lock);
  return writes;
}

std::vector<Shell::Line> Shell::Lines() const {
  std::lock_guard<std::mutex> hold(lock);
  return lines;
}

std::vector<std::string> Shell::Answers() const {
  std::lock_guard<std::mutex> hold(lock);
  return answers;
}

std::vector<std::string> Shell::Settings() const {
  std::lock_guard<std::mutex> hold(lock);
  std::vector<std::string> texts;
  for (const Setting& s : settings) texts.push_back(s.group + " " + s.name + " " + s.value);
  return texts;
}

int Shell::ConfigWrites() const {
  std::lock_guard<std::mutex> hold(lock);
  return configWrites;
}

int Shell::Activations() const {
  std::lock_guard<std::mutex> hold(lock);
  return activations;
}

bool Shell::WaitForWrites(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> hold(lock);
  return written.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                          [&] { return writes.size() >= count; });
}

WriteResult Shell::OnWrite(const uint8_t* data, uint32_t length, InPipe& in) {
  std::vector<std::string> out;
  uint32_t delay;
  {
    std::lock_guard<std::mutex> hold(lock);
    std::string bytes(reinterpret_cast<const char*>(data), length);
    received += bytes;
    writes.push_back(bytes);
    if (echo && length > 0) out.push_back(bytes);
    for (uint32_t i = 0; i < length; i++) {
      char c = static_cast<char>(data[i]);
      if (c == '\r') {
        lastWasCr = true;
        handleLine(partial, out);
        partial.clear();
      } else if (c == '\n') {
        if (!lastWasCr) {
          handleLine(partial, out);
          partial.clear();
        }
        lastWasCr = false;
      } else {
        lastWasCr = false;
        if (c == 8 || c == 127) {
          if (!partial.empty()) partial.pop_back();
        } else if (partial.size() < maxLine) {
          partial += c;
        }
      }
    }
    for (const std::string& t : out) answers.push_back(t);
    delay = answerDelay;
  }
  written.notify_all();
  // Answers go out after the lock is released; writes come one at a time, so
  // they keep their order.
  for (const std::string& t : out) in.Send(t.data(), t.size(), delay);
  WriteResult result;
  result.status = 0;
  result.accepted = length;
  return result;
}

void Shell::prompt(const char* text, std::vector<std::string>& out) const {
  std::string first = newlineBeforePrompt ? "\r\n" : "";
  size_t n = strlen(text);
  if (splitPrompt && n > 1) {
    out.push_back(first + std::string(text, n - 1));
    out.push_back(std::string(text + n - 1, 1));
  } else {
    out.push_back(first + text);
  }
}

void Shell::handleLine(const std::string& line, std::vector<std::string>& out) {
  Stage at = stage;
  lines.push_back(Line{line, at});
  std::vector<std::string> answer;
  switch (at) {
    case kIdle:
      prompt("user: ", answer);
      stage = kUser;
      break;
    case kUser:
      pendingUser = line;
      prompt("password: ", answer);
      stage = kPassword;
      break;
    case kPassword:
      if (pendingUser == user && line == password) {
        stage = kCommand;
        prompt("$ ", answer);
      } else {
        stage = kIdle;
        answer.push_back("login incorrect\r\n");
      }
      break;
    case kCommand:
      runCommand(line, answer);
      break;
  }
  if (silent) return;
  for (const std::string& w : withheld)
    if (line == w) return;
  for (std::string& a : answer) out.push_back(std::move(a));
}

void Shell::runCommand(const std::string& line, std::vector<std::string>& out) {
  for (const auto& reply : replies) {
    if (reply.first == line) {
      out.insert(out.end(), reply.second.begin(), reply.second.end());
      return;
    }
  }
  std::vector<std::string> words = splitWords(line);
  if (words.empty()) {
    prompt("$ ", out);
    return;
  }
  if (words.size() == 1 && (words[0] == "reset" || words[0] == "exit")) {
    stage = kIdle;
    return;
  }
  if (words[0] == "config" && words.size() >= 2) {
    const std::string& verb = words[1];
    if (verb == "change" && words.size() >= 3 && words[2] == "WLANMGR0") {
      std::vector<std::string> rest(words.begin() + 3, words.end());
      if (changeSettings("WLANMGR0", rest, out)) out.push_back("ok\r\n");
      prompt("$ ", out);
      return;
    }
    if (verb == "change" && words.size() >= 4 && words[2] == "PHONE" && words[3] == "SIG") {
      std::vector<std::string> rest(words.begin() + 4, words.end());
      if (changeSettings("PHONE SIG", rest, out)) out.push_back("ok\r\n");
      prompt("$ ", out);
      return;
    }
    if (verb == "write" && words.size() == 2) {
      configWrites++;
      out.push_back("ok\r\n");
      prompt("$ ", out);
      return;
    }
    if (verb == "activate" && words.size() == 2) {
      activations++;
      switch (activateAnswer) {
        case kActivateNormal:
          out.push_back(resetPending ? "reset needed\r\n" : "ok\r\n");
          break;
        case kActivateResetThenOk:
          out.push_back("reset needed\r\n");
          out.push_back("ok\r\n");
          break;
        case kActivateOkThenReset:
          out.push_back("ok\r\n");
          out.push_back("reset needed\r\n");
          break;
      }
      resetPending = false;
      prompt("$ ", out);
      return;
    }
    if (verb == "show" && words.size() == 2) {
      for (const Setting& s : settings)
        out.push_back(s.group + " " + s.name + " " + s.value + "\r\n");
      prompt("$ ", out);
      return;
    }
  }
  out.push_back("error: unknown command: " + line + "\r\n");
  prompt("$ ", out);
}

// Takes "/setting value" pairs; a value is the next word and every further
// word up to the next setting word, so values may hold blanks. Nothing is
// stored unless every setting word is known and has a value.
bool Shell::changeSettings(const std::string& group, const std::vector<std::string>& words,
                           std::vector<std::string>& out) {
  bool wlan = group == "WLANMGR0";
  auto known = [&](const std::string& word) {
    return wlan ? listed(word, wlanSettings) : listed(word, phoneSettings);
  };
  std::vector<std::pair<std::string, std::string>> changes;
  size_t i = 0;
  while (i < words.size()) {
    const std::string& name = words[i];
    if (!known(name)) {
      out.push_back("error: unknown setting " + name + "\r\n");
      return false;
    }
    if (i + 1 >= words.size()) {
      out.push_back("error: no value for " + name + "\r\n");
      return false;
    }
    std::string value = words[i + 1];
    i += 2;
    while (i < words.size() && !known(words[i])) value += " " + words[i++];
    changes.emplace_back(name, value);
  }
  for (const auto& change : changes) {
    const std::string& name = change.first;
    const std::string& value = change.second;
    bool found = false;
    for (Setting& s : settings) {
      if (s.group == group && s.name == name) {
        found = true;
        if (s.value != value && listed(name, resetSettings)) resetPending = true;
        s.value = value;
      }
    }
    if (!found) {
      settings.push_back(Setting{group, name, value});
      if (listed(name, resetSettings)) resetPending = true;
    }
  }
  return true;
}

}  // namespace sim
