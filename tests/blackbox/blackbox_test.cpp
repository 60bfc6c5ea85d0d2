// The built velkor against a kv30sim process, as a user runs them: standard
// output compared byte for byte, exit statuses, and what the handset got.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "table.h"

namespace blackbox {
namespace {

class BlackBox : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder.path().empty()); }
  void TearDown() override {
    if (running) {
      EXPECT_EQ(0, sim.Stop()) << "kv30sim ends with 0 on SIGTERM";
      EXPECT_EQ("", sim.error());
    }
  }
  void StartSim(const std::vector<std::string>& options) {
    ASSERT_TRUE(sim.Start(options)) << sim.error();
    running = true;
  }
  // Stops kv30sim, so that everything it writes is complete.
  void StopSim() {
    ASSERT_TRUE(running);
    running = false;
    EXPECT_EQ(0, sim.Stop());
    EXPECT_EQ("", sim.error());
  }
  VelkorRun Velkor(const std::vector<std::string>& args, int timeoutMs = 30000) {
    VelkorRun run = RunVelkor(folder.path(), folder.path(), args, timeoutMs);
    // velkor writes nothing to standard error; a sanitizer would.
    EXPECT_EQ("", run.err);
    return run;
  }

  TempFolder folder;
  Kv30Sim sim{folder.path()};
  bool running = false;
};

TEST_F(BlackBox, WithoutKv30simTheHandsetIsNotFound) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"login", {"login"}},
      {"command", {"command", "config", "show"}},
      {"config", {"config", "/ssid", "myssid", "/cipher", "wep128"}},
      {"upload of a file that does not exist", {"upload", "missing.bin"}},
  };
  for (const Case& c : cases) {
    VelkorRun run = Velkor(c.args);
    EXPECT_EQ(std::string(kBanner) + kNotFound, run.out) << c.name;
    EXPECT_EQ(1, run.status) << c.name;
  }
}

TEST_F(BlackBox, AStaleSocketIsPassedOverAndReplaced) {
  StartSim({});
  EXPECT_EQ(0, sim.readyLine().compare(0, 14, "kv30sim: ready"));
  sim.Kill();
  running = false;
  struct stat st;
  ASSERT_EQ(0, stat(folder.File("kv30.sock").c_str(), &st)) << "a killed kv30sim leaves its socket";

  VelkorRun run = Velkor({"login"});
  EXPECT_EQ(std::string(kBanner) + kNotFound, run.out);
  EXPECT_EQ(1, run.status);

  StartSim({});
  run = Velkor({"login"});
  EXPECT_EQ(kBanner, run.out);
  EXPECT_EQ(0, run.status);
  StopSim();
  EXPECT_NE(0, stat(folder.File("kv30.sock").c_str(), &st)) << "SIGTERM removes the socket";
}

// kv30sim ending in the middle of an upload, killed or stopped: to velkor
// the handset is pulled out, and the upload ends within its time-outs.
class EndedDuringAnUpload : public BlackBox, public ::testing::WithParamInterface<bool> {};

TEST_P(EndedDuringAnUpload, VelkorEndsWithAnErrorInTime) {
  const bool killed = GetParam();
  WriteFile(folder.File("kv30.bin"), Image(64 * 1024));
  StartSim({"--ack-delay", "20", "--log", folder.File("log")});
  VelkorRun run;
  std::thread velkor([&] { run = Velkor({"upload", "kv30.bin"}); });
  // End kv30sim once some chunks went through.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  size_t chunks = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string log = ReadFile(folder.File("log"));
    chunks = 0;
    for (size_t at = log.find("OUT 07 512 "); at != std::string::npos;
         at = log.find("OUT 07 512 ", at + 1))
      chunks++;
    if (chunks >= 10) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GE(chunks, 10u);
  auto ending = std::chrono::steady_clock::now();
  running = false;
  if (killed) {
    sim.Kill();
  } else {
    EXPECT_EQ(0, sim.Stop()) << "SIGTERM with a handle open";
    EXPECT_EQ("", sim.error());
  }
  velkor.join();
  auto ended = std::chrono::steady_clock::now();
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(2, run.status);
  // Within its time-outs: 2000 ms for an acknowledgement, with room to spare.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - ending).count(), 8000);
  // The upload ends with one error line, after the last progress line.
  size_t error = run.out.rfind("Error: ");
  ASSERT_NE(std::string::npos, error) << run.out;
  EXPECT_EQ(run.out.size() - 1, run.out.find('\n', error)) << run.out;
  EXPECT_EQ(std::string::npos, run.out.find('\r', error)) << run.out;
}

INSTANTIATE_TEST_SUITE_P(KilledOrStopped, EndedDuringAnUpload, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Killed" : "Stopped");
                         });

// Connects to the handset's socket, sends `bytes`, and waits for kv30sim to
// close the connection. True when it did within `timeoutMs`.
bool ClosedAfterSending(const std::string& socketPath, const std::string& bytes, int timeoutMs) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
  bool closed = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
    for (;;) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) break;
      char buffer[256];
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed = true;
        break;
      }
    }
  }
  close(fd);
  return closed;
}

// Whatever arrives on its socket, kv30sim closes that connection and goes on
// serving velkor.
TEST_F(BlackBox, Kv30simSurvivesGarbageOnItsSocket) {
  StartSim({});
  const std::string socketPath = folder.File("kv30.sock");
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"text", "GET / HTTP/1.0\r\n\r\n"},
      {"zero length", std::string(4, '\0')},
      {"oversized", std::string("\xff\xff\xff\x7f", 4)},
      {"unknown type", std::string("\x01\x00\x00\x00\x42", 5)},
      {"hello with a wrong magic", std::string("\x08\x00\x00\x00\x01XXXX\x01\x00\x01", 12)},
  };
  for (const Case& c : cases) EXPECT_TRUE(ClosedAfterSending(socketPath, c.bytes, 15000)) << c.name;
  VelkorRun run = Velkor({"login"});
  EXPECT_EQ(kBanner, run.out);
  EXPECT_EQ(0, run.status);
}

// A folder that others could put sockets into is refused by both sides.
TEST_F(BlackBox, AnOpenFolderIsRefused) {
  StartSim({});
  ASSERT_EQ(0, chmod(folder.path().c_str(), 0777));
  VelkorRun run = Velkor({"login"});
  EXPECT_EQ(std::string(kBanner) + kNotFound, run.out);
  EXPECT_EQ(1, run.status);
  ASSERT_EQ(0, chmod(folder.path().c_str(), 0700));
  StopSim();

  ASSERT_EQ(0, chmod(folder.path().c_str(), 0770));
  Kv30Sim refused(folder.path());
  EXPECT_FALSE(refused.Start({}));
  EXPECT_NE(std::string::npos, refused.error().find("can be written by others")) << refused.error();
  ASSERT_EQ(0, chmod(folder.path().c_str(), 0700));
}

}  // namespace
}  // namespace blackbox
