#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

// A temporary file that is removed with the object; the child writes to it
// so that no pipe can keep the test waiting for a grandchild.
class TempFile {
 public:
  TempFile() {
    const char* dir = getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/velkor-child-XXXXXX";
    fd_ = mkstemp(&path_[0]);
  }
  ~TempFile() {
    if (fd_ >= 0) {
      close(fd_);
      unlink(path_.c_str());
    }
  }
  int fd() const { return fd_; }
  std::string contents() const {
    std::string text;
    readWholeFile(path_, &text);
    return text;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

std::vector<std::string> buildEnvironment(
    const std::vector<std::pair<std::string, std::string>>& setEnv) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    std::string item(*entry);
    bool replaced = false;
    for (const auto& change : setEnv) {
      if (item.compare(0, change.first.size() + 1, change.first + "=") == 0) replaced = true;
    }
    if (!replaced) env.push_back(item);
  }
  for (const auto& change : setEnv) {
    if (!change.second.empty()) env.push_back(change.first + "=" + change.second);
  }
  return env;
}

}  // namespace

ChildResult runChild(const std::vector<std::string>& argv,
                     const std::vector<std::pair<std::string, std::string>>& setEnv,
                     int timeoutMs) {
  ChildResult result;
  TempFile out;
  TempFile err;
  if (argv.empty() || out.fd() < 0 || err.fd() < 0) return result;

  std::vector<std::string> envText = buildEnvironment(setEnv);
  std::vector<char*> envp;
  for (auto& item : envText) envp.push_back(&item[0]);
  envp.push_back(nullptr);
  std::vector<std::string> argText = argv;
  std::vector<char*> args;
  for (auto& word : argText) args.push_back(&word[0]);
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd(), 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return result;
  result.started = true;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) return result;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      break;
    }
    struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  if (!result.timedOut && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  result.out = out.contents();
  result.err = err.contents();
  return result;
}

std::string crlfToLf(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result += text[i];
  }
  return result;
}

bool isRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isExecutableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool readWholeFile(const std::string& path, std::string* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *content = text.str();
  return true;
}
