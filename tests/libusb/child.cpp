#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace usbfs {
namespace {

long long NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {input_, outputFd_, errorFd_}) {
    if (fd >= 0) close(fd);
  }
}

bool Child::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(err, O_CLOEXEC) != 0) return false;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  startedUs_ = NowUs();
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  input_ = in[1];
  outputFd_ = out[0];
  errorFd_ = err[0];
  return true;
}

// Reads what is there for up to timeoutMs; stops early once both pipes end.
void Child::Drain(int timeoutMs) {
  const long long deadline = NowUs() + timeoutMs * 1000LL;
  while (outputFd_ >= 0 || errorFd_ >= 0) {
    pollfd fds[2];
    int n = 0;
    if (outputFd_ >= 0) fds[n++] = {outputFd_, POLLIN, 0};
    if (errorFd_ >= 0) fds[n++] = {errorFd_, POLLIN, 0};
    const long long left = (deadline - NowUs()) / 1000;
    if (left <= 0) return;
    if (poll(fds, n, static_cast<int>(left)) <= 0) return;
    for (int i = 0; i < n; i++) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      const bool isOutput = fds[i].fd == outputFd_;
      if (got > 0) {
        (isOutput ? output_ : errors_).append(buffer, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        (isOutput ? outputFd_ : errorFd_) = -1;
      }
    }
    return;
  }
}

bool Child::WaitForOutput(const std::string& text, int timeoutMs) {
  const long long deadline = NowUs() + timeoutMs * 1000LL;
  while (output_.find(text) == std::string::npos) {
    const long long left = (deadline - NowUs()) / 1000;
    if (left <= 0 || outputFd_ < 0) return output_.find(text) != std::string::npos;
    Drain(static_cast<int>(left));
  }
  return true;
}

void Child::CloseInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

int Child::Wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  const long long deadline = NowUs() + timeoutMs * 1000LL;
  int status = 0;
  bool ended = false;
  while (!ended) {
    Drain(20);
    const pid_t reaped = waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) ended = true;
    if (!ended && NowUs() >= deadline) break;
  }
  elapsedMs_ = static_cast<int>((NowUs() - startedUs_) / 1000);
  if (!ended) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }
  pid_ = -1;
  // The rest of what it wrote (pipes end once every writer is gone).
  while (outputFd_ >= 0 || errorFd_ >= 0) {
    const size_t before = output_.size() + errors_.size();
    Drain(1000);
    if (output_.size() + errors_.size() == before && NowUs() >= deadline + 2000000) break;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace usbfs
