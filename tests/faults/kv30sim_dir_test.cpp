// KV30SIM_DIR must be an absolute path. A relative one would be resolved
// against each program's own working folder, so velkor and kv30sim started
// from different folders would not meet: kv30sim refuses it, and velkor does
// not look there.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"
#include "simwire/simdir.h"
#include "table.h"
#include "tests/support/env_guard.h"

namespace {

struct Ended {
  int status = -1;  // exit status, -1 when it did not end normally in time
  std::string err;  // standard error
};

// Runs kv30sim in `cwd` with KV30SIM_DIR set to `dir`; one that is still
// running after `timeoutMs` is killed.
Ended RunKv30Sim(const std::string& cwd, const std::string& dir, int timeoutMs) {
  Ended ended;
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) return ended;
  std::string variable = "KV30SIM_DIR=" + dir;
  std::vector<std::string> env;
  for (char** e = environ; *e; e++)
    if (std::string(*e).rfind("KV30SIM_DIR=", 0) != 0) env.push_back(*e);
  env.push_back(variable);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(KV30SIM_EXE), nullptr};
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(err[1], 2) < 0 ||
        chdir(cwd.c_str()) != 0)
      _exit(127);
    execve(KV30SIM_EXE, argv, envp.data());
    _exit(127);
  }
  close(err[1]);
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      if (WIFEXITED(status)) ended.status = WEXITSTATUS(status);
      pid = -1;
      break;
    }
    usleep(10000);
  }
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  char buffer[1024];
  ssize_t n;
  while ((n = read(err[0], buffer, sizeof buffer)) > 0) ended.err.append(buffer, n);
  close(err[0]);
  return ended;
}

TEST(Kv30SimDirectory, ARelativeOneIsNoFolder) {
  EnvGuard guard("KV30SIM_DIR");
  std::string problem;
  setenv("KV30SIM_DIR", "sims", 1);
  EXPECT_EQ("", simwire::SimDirectory(&problem));
  EXPECT_EQ("KV30SIM_DIR must be an absolute path, not \"sims\"", problem);
  setenv("KV30SIM_DIR", "./sims", 1);
  EXPECT_EQ("", simwire::SimDirectory());
  setenv("KV30SIM_DIR", "/abs/sims", 1);
  problem.clear();
  EXPECT_EQ("/abs/sims", simwire::SimDirectory(&problem));
  EXPECT_EQ("", problem);
}

TEST(Kv30SimDirectory, Kv30SimRefusesARelativeOne) {
  blackbox::TempFolder root;
  ASSERT_FALSE(root.path().empty());
  const Ended run = RunKv30Sim(root.path(), "sims", 10000);
  EXPECT_EQ(1, run.status) << "kv30sim did not refuse: " << run.err;
  EXPECT_EQ(
      "kv30sim: KV30SIM_DIR must be an absolute path, not \"sims\"; refusing to publish there\n",
      run.err);
  struct stat st;
  EXPECT_NE(0, stat(root.File("sims").c_str(), &st)) << "kv30sim made the folder";
}

TEST(Kv30SimDirectory, VelkorDoesNotLookInARelativeOne) {
  blackbox::TempFolder root;
  ASSERT_FALSE(root.path().empty());
  ASSERT_EQ(0, mkdir(root.File("sims").c_str(), 0700));
  blackbox::Kv30Sim handset(root.File("sims"));
  ASSERT_TRUE(handset.Start({"--logged-in", "--log", root.File("log")})) << handset.error();

  // From the folder that holds "sims", the relative name would lead there.
  blackbox::VelkorRun relative = blackbox::RunVelkor("sims", root.path(), {"login"}, 20000);
  EXPECT_EQ(std::string(blackbox::kBanner) + blackbox::kNotFound, relative.out);
  EXPECT_EQ(1, relative.status);
  EXPECT_EQ("", blackbox::ReadFile(root.File("log"))) << "velkor reached the handset";

  blackbox::VelkorRun absolute =
      blackbox::RunVelkor(root.File("sims"), root.path(), {"login"}, 20000);
  EXPECT_EQ(blackbox::kBanner, absolute.out);
  EXPECT_EQ(0, absolute.status);
  EXPECT_EQ(0, handset.Stop());
}

}  // namespace
