#include "simwire/simdir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/env_guard.h"

namespace simwire {
namespace {

class SimFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kv30sim-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root = pattern;
  }
  void TearDown() override { ASSERT_EQ(0, system(("rm -rf " + root).c_str())); }
  std::string root;
};

TEST(SimDirectory, KV30SIM_DIRThenRuntimeDirThenTmp) {
  EnvGuard a("KV30SIM_DIR"), b("XDG_RUNTIME_DIR");
  setenv("KV30SIM_DIR", "/some/where", 1);
  setenv("XDG_RUNTIME_DIR", "/run/user/5", 1);
  EXPECT_EQ("/some/where", SimDirectory());
  setenv("KV30SIM_DIR", "", 1);
  EXPECT_EQ("/run/user/5/kv30sim", SimDirectory());
  unsetenv("KV30SIM_DIR");
  EXPECT_EQ("/run/user/5/kv30sim", SimDirectory());
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ("/tmp/kv30sim-" + std::to_string(getuid()), SimDirectory());
}

TEST_F(SimFolder, CheckDirectoryRefusesWhatOthersControl) {
  struct Case {
    const char* name;
    mode_t mode;
    DirCheck expected;
  } cases[] = {
      {"private", 0700, kDirSafe},
      {"readable by all", 0755, kDirSafe},
      {"group-writable", 0770, kDirOpen},
      {"world-writable", 0777, kDirOpen},
      {"sticky and world-writable", 01777, kDirOpen},
  };
  for (const Case& c : cases) {
    std::string path = root + "/" + c.name;
    ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    ASSERT_EQ(0, chmod(path.c_str(), c.mode));
    EXPECT_EQ(c.expected, CheckDirectory(path)) << c.name;
  }
  EXPECT_EQ(kDirMissing, CheckDirectory(root + "/none"));
  std::ofstream(root + "/file") << "x";
  EXPECT_EQ(kDirNotDirectory, CheckDirectory(root + "/file"));
  if (getuid() == 0) {
    // Only root can hand a folder to someone else.
    std::string path = root + "/foreign";
    ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    ASSERT_EQ(0, chown(path.c_str(), 4242, 4242));
    EXPECT_EQ(kDirForeign, CheckDirectory(path));
  }
}

TEST_F(SimFolder, PrepareDirectoryCreatesAPrivateFolderOnce) {
  std::string path = root + "/made";
  EXPECT_EQ(kDirSafe, PrepareDirectory(path));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  EXPECT_EQ(kDirSafe, PrepareDirectory(path));
  // An existing open folder is not made private behind the user's back.
  ASSERT_EQ(0, chmod(path.c_str(), 0777));
  EXPECT_EQ(kDirOpen, PrepareDirectory(path));
  EXPECT_EQ(kDirError, PrepareDirectory(root + "/no/parent"));
}

int BindSocket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  return fd;
}

TEST_F(SimFolder, ListSocketsGivesOnlySocketsInNameOrder) {
  int b = BindSocket(root + "/b.sock");
  int a = BindSocket(root + "/a-foreign.sock");
  int c = BindSocket(root + "/a.sock");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_GE(c, 0);
  std::ofstream(root + "/0-file") << "x";
  ASSERT_EQ(0, mkdir((root + "/0-dir").c_str(), 0700));
  std::vector<std::string> expected = {"a-foreign.sock", "a.sock", "b.sock"};
  EXPECT_EQ(expected, ListSockets(root));
  EXPECT_TRUE(ListSockets(root + "/none").empty());
  close(a);
  close(b);
  close(c);
}

TEST_F(SimFolder, ConnectSocketTellsAStaleSocketFromALiveOne) {
  std::string path = root + "/s.sock";
  int fd = BindSocket(path);
  ASSERT_GE(fd, 0);
  // Bound but not listening: what a socket left behind by a killed process
  // looks like to a client.
  errno = 0;
  EXPECT_EQ(-1, ConnectSocket(path));
  EXPECT_EQ(ECONNREFUSED, errno);
  ASSERT_EQ(0, listen(fd, 1));
  int c = ConnectSocket(path);
  EXPECT_GE(c, 0);
  close(c);
  close(fd);
  EXPECT_EQ(-1, ConnectSocket(root + "/none.sock"));
  EXPECT_EQ(ENOENT, errno);
}

}  // namespace
}  // namespace simwire
