// KV30SIM_DIR must be an absolute path. A relative one would be resolved
// against each program's own working folder, so velkor and kv30sim started
// from different folders would not meet: kv30sim refuses it, and velkor does
// not look there.
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"
#include "simwire/simdir.h"
#include "table.h"
#include "tests/support/env_guard.h"

namespace {

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
  const blackbox::VelkorRun run = blackbox::RunProgram(KV30SIM_EXE, {}, "sims", root.path(), 10000);
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
