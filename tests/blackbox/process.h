// Child processes for the black-box tests: a kv30sim in a folder of its own,
// and runs of the built velkor against it.
#ifndef VELKOR_TESTS_BLACKBOX_PROCESS_H
#define VELKOR_TESTS_BLACKBOX_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace blackbox {

// A fresh private folder under /tmp, removed with everything in it when the
// object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A kv30sim process publishing its handset in `folder` (its KV30SIM_DIR).
class Kv30Sim {
 public:
  explicit Kv30Sim(std::string folder) : folder_(std::move(folder)) {}
  // Stops the process if it still runs.
  ~Kv30Sim();
  Kv30Sim(const Kv30Sim&) = delete;
  Kv30Sim& operator=(const Kv30Sim&) = delete;

  // Starts kv30sim with `options` and waits up to `timeoutMs` for its ready
  // line. False (and the process stopped) when it does not come; `error`
  // then holds what the process wrote to standard error.
  bool Start(const std::vector<std::string>& options, int timeoutMs = 10000);
  // SIGTERM, then waits up to `timeoutMs` for the end. Returns the exit
  // status, or -1 when it had to be killed or did not end normally; error()
  // then holds what the process wrote to standard error.
  int Stop(int timeoutMs = 10000);
  // SIGKILL and reaps the process: a kv30sim that ends without clean-up.
  void Kill();

  pid_t pid() const { return pid_; }
  const std::string& readyLine() const { return ready_; }
  const std::string& error() const { return error_; }

 private:
  std::string folder_;
  pid_t pid_ = -1;
  std::string ready_;
  std::string error_;
};

struct VelkorRun {
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error (sanitizer reports)
  int status = -1;  // exit status; -1 when it did not end normally
  bool timedOut = false;
  int elapsedMs = 0;
};

// Runs the built velkor with `args` in the working folder `cwd`, with
// KV30SIM_DIR set to `simFolder` and standard input from the file `input`
// (keys for interactive). A run that takes longer than `timeoutMs` is killed
// and reported as timed out.
VelkorRun RunVelkor(const std::string& simFolder, const std::string& cwd,
                    const std::vector<std::string>& args, int timeoutMs = 30000,
                    const std::string& input = "/dev/null");
// The same for another program (a path, not searched).
VelkorRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& simFolder, const std::string& cwd, int timeoutMs,
                     const std::string& input = "/dev/null");

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace blackbox

#endif
