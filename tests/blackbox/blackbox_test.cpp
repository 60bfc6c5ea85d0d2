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

namespace blackbox {
namespace {

const char kBanner[] = "velkor 1.4 [08-60030]\n";
const char kNotFound[] = "KV30 not found.";

// Answers come this long after the line that caused them, so that velkor's
// `command` has begun its wait when they arrive and shows them.
const std::vector<std::string> kAnswerDelay = {"--answer-delay", "100"};

const std::vector<std::string> kExample1 = {
    "config",  "/ssid",    "myssid",       "/wep-key", "4be07d21a9c3f5e8617d0b2c94",
    "/cipher", "wep128",   "/wep-index",   "1",        "/prot",
    "h323",    "/gk-addr", "192.168.0.10", "/e164",    "501"};

const char kExample1Settings[] =
    "WLANMGR0 /ssid myssid\n"
    "WLANMGR0 /wep-key 4be07d21a9c3f5e8617d0b2c94\n"
    "WLANMGR0 /cipher wep128\n"
    "WLANMGR0 /wep-index 1\n"
    "PHONE SIG /prot h323\n"
    "PHONE SIG /gk-addr 192.168.0.10\n"
    "PHONE SIG /e164 501\n";

// A firmware image of `size` bytes: byte 4 is 0x90, bytes 5 and 6 are 0.
std::string Image(size_t size) {
  std::string image(size, '\0');
  for (size_t i = 0; i < size; i++) image[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  image[4] = '\x90';
  image[5] = 0;
  image[6] = 0;
  return image;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

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
      {"config", kExample1},
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

TEST_F(BlackBox, UsageExample1Config) {
  StartSim({"--settings", folder.File("settings"), "--log", folder.File("log")});
  VelkorRun run = Velkor(kExample1);
  EXPECT_EQ(std::string(kBanner) + "ok (reset)\n", run.out);
  EXPECT_EQ(0, run.status);
  StopSim();
  EXPECT_EQ(kExample1Settings, ReadFile(folder.File("settings")));
  std::string log = ReadFile(folder.File("log"));
  EXPECT_NE(std::string::npos,
            log.find("OUT 03 101 config change WLANMGR0 /ssid myssid /wep-key "
                     "4be07d21a9c3f5e8617d0b2c94 /cipher wep128 /wep-index 1\\x0d\\x0a\n"))
      << log;
  EXPECT_NE(std::string::npos,
            log.find("OUT 03 68 config change PHONE SIG /prot h323 /gk-addr 192.168.0.10 /e164 "
                     "501\\x0d\\x0a\nIN 83 4 ok\\x0d\\x0a\n"))
      << log;
  EXPECT_NE(std::string::npos, log.find("OUT 03 17 config activate\\x0d\\x0a\n"
                                        "IN 83 14 reset needed\\x0d\\x0a\n"))
      << log;
  EXPECT_EQ(log.size() - 23, log.rfind("OUT 03 7 reset\\x0d\\x0a\n")) << log;
}

TEST_F(BlackBox, UsageExample2UploadDeliversTheImage) {
  std::string image = Image(1000);
  WriteFile(folder.File("kv30.bin"), image);
  StartSim({"--image", folder.File("received.bin"), "--log", folder.File("log")});
  VelkorRun run = Velkor({"upload", "kv30.bin"});
  EXPECT_EQ(std::string(kBanner) +
                "\r    512/   1000 ( 51 %) #000008\r   1000/   1000 (100 %) #000016\nok\n",
            run.out);
  EXPECT_EQ(0, run.status);
  StopSim();
  EXPECT_TRUE(ReadFile(folder.File("received.bin")) == image) << "the received image differs";
  std::string log = ReadFile(folder.File("log"));
  EXPECT_EQ(0u, log.find("OUT 07 15 ! upload  1000\\x00\nIN 87 2 #0\nOUT 07 512 ")) << log;
  EXPECT_NE(std::string::npos, log.find("\nIN 87 3 #16\n")) << log;
}

TEST_F(BlackBox, UsageExample4LoginThenCommandInTwoRuns) {
  StartSim(kAnswerDelay);
  VelkorRun config = Velkor(kExample1);
  EXPECT_EQ(std::string(kBanner) + "ok (reset)\n", config.out);
  // The reset logged the shell out; the login outlasts the run that made it.
  VelkorRun login = Velkor({"login"});
  EXPECT_EQ(kBanner, login.out);
  EXPECT_EQ(0, login.status);
  VelkorRun show = Velkor({"command", "config", "show"});
  EXPECT_EQ(std::string(kBanner) +
                "WLANMGR0 /ssid myssid\r\n\n"
                "WLANMGR0 /wep-key 4be07d21a9c3f5e8617d0b2c94\r\n\n"
                "WLANMGR0 /cipher wep128\r\n\n"
                "WLANMGR0 /wep-index 1\r\n\n"
                "PHONE SIG /prot h323\r\n\n"
                "PHONE SIG /gk-addr 192.168.0.10\r\n\n"
                "PHONE SIG /e164 501\r\n\n"
                "$ \n",
            show.out);
  EXPECT_EQ(0, show.status);
}

TEST_F(BlackBox, AFailedLogin) {
  StartSim({"--password", "secret"});
  VelkorRun run = Velkor({"login"});
  EXPECT_EQ(std::string(kBanner) + "Error: waiting for KV30 answer (login-3)\n", run.out);
  EXPECT_EQ(2, run.status);
  // A command to the logged-out shell gets no prompt back.
  VelkorRun command = Velkor({"command", "config", "show"});
  EXPECT_EQ(1, command.status);
}

TEST_F(BlackBox, AnUploadWhoseAcknowledgementIsDropped) {
  WriteFile(folder.File("kv30.bin"), Image(1000));
  StartSim({"--drop-ack", "3"});
  VelkorRun run = Velkor({"upload", "kv30.bin"});
  // #1 and #2 count; #4 to #8 are not the #3 awaited, which never comes.
  std::string expected = kBanner;
  for (int i = 0; i < 5; i++) expected += "Error: unexpected usb ack #3\n";
  expected += "Error: waiting for ack #2\n";
  EXPECT_EQ(expected, run.out);
  EXPECT_EQ(2, run.status);
}

// Options of kv30sim against the run they affect.
TEST_F(BlackBox, HandsetBehaviours) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const std::string shown = std::string(kBanner) + "$ \n";
  const std::string ok = std::string(kBanner) + "ok\n";
  const std::string notFound = std::string(kBanner) + kNotFound;
  const std::string upload =
      "\r    512/   1000 ( 51 %) #000008\r   1000/   1000 (100 %) #000016\nok\n";
  std::vector<Case> cases = {
      {"logged in", Join({"--logged-in"}, kAnswerDelay), {"command", "config", "show"}, shown, 0},
      {"foreign device first",
       Join({"--foreign-first", "--logged-in"}, kAnswerDelay),
       {"command", "config", "show"},
       shown,
       0},
      {"unconfigured",
       Join({"--unconfigured", "--logged-in"}, kAnswerDelay),
       {"command", "config", "show"},
       shown,
       0},
      {"other interface version", {"--version", "0100"}, {"login"}, notFound, 1},
      {"IN endpoints cannot be bound", {"--fail-bind", "in"}, {"login"}, notFound, 1},
      {"OUT endpoints cannot be bound",
       {"--fail-bind", "out"},
       {"upload", "kv30.bin"},
       notFound,
       1},
      {"silent shell",
       {"--silent"},
       {"login"},
       std::string(kBanner) + "Error: waiting for KV30 answer (login-1)\n",
       2},
      {"other login pair",
       {"--user", "root", "--password", "pw"},
       {"login", "/login", "root,pw"},
       kBanner,
       0},
      {"nothing needing a reset", {}, {"config", "/power-mode", "active"}, ok, 0},
      {"prompts in two transfers",
       {"--split-prompt"},
       {"login"},
       std::string(kBanner) + "Error: waiting for KV30 answer (login-1)\n",
       2},
      {"config write unanswered",
       {"--withhold", "config write"},
       {"config", "/power-mode", "active"},
       std::string(kBanner) + "Error: waiting for KV30 answer (config write)\n",
       2},
      {"reset needed",
       {"--reset-needed"},
       {"config", "/power-mode", "active"},
       std::string(kBanner) + "ok (reset)\n",
       0},
      {"loader stalls after #4",
       {"--stall-after", "5"},
       {"upload", "kv30.bin"},
       std::string(kBanner) + "Error: waiting for ack #4\n",
       2},
      {"acknowledgement #2 twice",
       {"--dup-ack", "2"},
       {"upload", "kv30.bin"},
       std::string(kBanner) + "Error: unexpected usb ack #3\n" + upload,
       0},
      {"slow acknowledgements",
       {"--ack-delay", "300"},
       {"upload", "kv30.bin"},
       std::string(kBanner) + upload,
       0},
  };
  WriteFile(folder.File("kv30.bin"), Image(1000));
  for (const Case& c : cases) {
    ASSERT_TRUE(sim.Start(c.options)) << c.name << ": " << sim.error();
    VelkorRun run = Velkor(c.args);
    EXPECT_EQ(c.out, run.out) << c.name;
    EXPECT_EQ(c.status, run.status) << c.name;
    EXPECT_EQ(0, sim.Stop()) << c.name;
    EXPECT_EQ("", sim.error()) << c.name;
  }
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
