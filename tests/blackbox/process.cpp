#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace blackbox {

namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Starts `program` with `args`, KV30SIM_DIR set, standard input from
// `inPath`, standard output to `outFd` and standard error to `errPath`.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& simFolder, const std::string& cwd, int outFd,
            const std::string& errPath, const std::string& inPath = "/dev/null") {
  std::vector<std::string> env;
  for (char** e = environ; *e; e++)
    if (strncmp(*e, "KV30SIM_DIR=", 12) != 0) env.push_back(*e);
  env.push_back("KV30SIM_DIR=" + simFolder);
  std::vector<char*> argv, envp;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls from here on.
  int in = open(inPath.c_str(), O_RDONLY);
  int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(outFd, 1) < 0 || dup2(err, 2) < 0) _exit(127);
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
  execve(program.c_str(), argv.data(), envp.data());
  _exit(127);
}

// Waits for the child to end, up to `timeoutMs`. True with its wait status
// once it ended.
bool Reap(pid_t pid, int timeoutMs, int* waitStatus) {
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    pid_t r = waitpid(pid, waitStatus, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return false;
    if (NowMs() >= deadline) return false;
    usleep(5000);
  }
}

int ExitStatus(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

}  // namespace

TempFolder::TempFolder() {
  char pattern[] = "/tmp/velkor-blackbox-XXXXXX";
  if (mkdtemp(pattern)) path_ = pattern;
}

TempFolder::~TempFolder() {
  if (!path_.empty()) {
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) {
    }
  }
}

Kv30Sim::~Kv30Sim() {
  if (pid_ > 0) Stop(5000);
}

bool Kv30Sim::Start(const std::vector<std::string>& options, int timeoutMs) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  std::string errPath = folder_ + "/kv30sim.stderr";
  pid_ = Spawn(KV30SIM_EXE, options, folder_, folder_, fds[1], errPath);
  close(fds[1]);
  if (pid_ < 0) {
    close(fds[0]);
    return false;
  }
  int64_t deadline = NowMs() + timeoutMs;
  std::string text;
  bool ready = false;
  while (!ready) {
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0) break;
    pollfd p = {fds[0], POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buffer[256];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;  // the process ended or closed its output
    text.append(buffer, static_cast<size_t>(n));
    size_t end = text.find('\n');
    if (end != std::string::npos) {
      ready_ = text.substr(0, end);
      ready = ready_.compare(0, 14, "kv30sim: ready") == 0;
      if (!ready) break;
    }
  }
  // kv30sim prints nothing after its ready line; its output is not read on.
  close(fds[0]);
  if (!ready) {
    Kill();
    error_ = ReadFile(errPath);
  }
  return ready;
}

int Kv30Sim::Stop(int timeoutMs) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int waitStatus = 0;
  if (!Reap(pid_, timeoutMs, &waitStatus)) {
    Kill();
    return -1;
  }
  pid_ = -1;
  error_ = ReadFile(folder_ + "/kv30sim.stderr");
  return ExitStatus(waitStatus);
}

void Kv30Sim::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int waitStatus = 0;
  Reap(pid_, 10000, &waitStatus);
  pid_ = -1;
}

VelkorRun RunVelkor(const std::string& simFolder, const std::string& cwd,
                    const std::vector<std::string>& args, int timeoutMs,
                    const std::string& input) {
  return RunProgram(VELKOR_EXE, args, simFolder, cwd, timeoutMs, input);
}

VelkorRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& simFolder, const std::string& cwd, int timeoutMs,
                     const std::string& input) {
  VelkorRun run;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return run;
  int64_t start = NowMs();
  pid_t pid = Spawn(program, args, simFolder, cwd, fds[1], cwd + "/velkor.stderr", input);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return run;
  }
  int64_t deadline = start + timeoutMs;
  for (;;) {
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0) {
      run.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p = {fds[0], POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.out.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int waitStatus = 0;
  int left = static_cast<int>(deadline - NowMs());
  if (!Reap(pid, left > 0 ? left : 0, &waitStatus)) {
    run.timedOut = true;
    kill(pid, SIGKILL);
    Reap(pid, 10000, &waitStatus);
  } else if (!run.timedOut) {
    run.status = ExitStatus(waitStatus);
  }
  run.elapsedMs = static_cast<int>(NowMs() - start);
  run.err = ReadFile(cwd + "/velkor.stderr");
  return run;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace blackbox
