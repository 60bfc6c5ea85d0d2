// The client sessions of velkor's side against the kv30sim server over real
// Unix sockets, with a fake instance behind the server; and each side facing
// a peer that breaks the protocol.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/kv30sim/recording.h"
#include "sim/kv30sim/transcript.h"
#include "simwire/client.h"
#include "simwire/codec.h"
#include "simwire/frame.h"
#include "simwire/server.h"
#include "simwire/simdir.h"

namespace {

const usbdrv::InterfaceClass kClass = {0x6D1B4C20, 0x55A1, 0x4E0B,
                                       {0x9A, 0x3C, 0x10, 0x2F, 0x44, 0x7E, 0x0B, 0x61}};
constexpr uint32_t kAborted = USBDRV_ERROR_OPERATION_ABORTED;
constexpr uint32_t kGone = USBDRV_ERROR_DEVICE_NOT_CONNECTED;
// The interface version the fake device declares.
constexpr uint16_t kFakeVersion = 0x0203;

class TestTransfer final : public usbdrv::Transfer {
 public:
  TestTransfer(uint8_t ep, uint32_t n) : buffer(n, 0) {
    endpoint = ep;
    data = buffer.data();
    length = n;
  }
  TestTransfer(uint8_t ep, const std::string& bytes) : buffer(bytes.begin(), bytes.end()) {
    endpoint = ep;
    data = buffer.data();
    length = static_cast<uint32_t>(bytes.size());
  }
  void Complete(uint32_t s, uint32_t a) override {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = s;
    actual_ = a;
    completions_++;
    cv_.notify_all();
  }
  // True once completed; the status and count are then set.
  bool Wait(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return completions_ > 0; });
  }
  uint32_t status() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }
  uint32_t actual() {
    std::lock_guard<std::mutex> lock(mutex_);
    return actual_;
  }
  int completions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completions_;
  }
  std::vector<uint8_t> buffer;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  uint32_t status_ = 0;
  uint32_t actual_ = 0;
  int completions_ = 0;
};

// A driver instance that records what it is asked and completes reads when
// the test says so.
class FakeInstance : public usbdrv::Instance {
 public:
  std::unique_ptr<usbdrv::Session> Open() override;

  // Completes the oldest pending read with these bytes (cut to its length).
  bool Deliver(const std::string& bytes, int timeoutMs = 5000) {
    usbdrv::Transfer* t = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (!cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [this] { return !reads.empty(); }))
        return false;
      t = reads.front();
      reads.pop_front();
    }
    uint32_t n = static_cast<uint32_t>(bytes.size() < t->length ? bytes.size() : t->length);
    memcpy(t->data, bytes.data(), n);
    t->Complete(0, n);
    return true;
  }
  bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), condition);
  }

  std::mutex mutex;
  std::condition_variable cv;
  bool openable = true;
  uint32_t shortWrite = 0;  // 0: writes move everything
  int open = 0;
  std::deque<usbdrv::Transfer*> reads;
  std::vector<std::string> writes;
  std::vector<usbdrv::ConfigurationRequest> configurations;
  std::vector<uint8_t> bound;
};

class FakeSession : public usbdrv::Session {
 public:
  explicit FakeSession(FakeInstance* owner) : owner_(owner) {}
  ~FakeSession() override {
    std::lock_guard<std::mutex> lock(owner_->mutex);
    owner_->open--;
    owner_->cv.notify_all();
  }
  uint16_t InterfaceVersion() override { return kFakeVersion; }
  uint32_t GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                         uint32_t* length) override {
    if (request.recipient != 0 || request.type != 1) return 0xE0001105u;
    uint8_t d[18] = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 64, 0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 0, 0, 0, 1};
    uint32_t n = *length < 18 ? *length : 18;
    memcpy(out, d, n);
    *length = n;
    return 0;
  }
  uint32_t GetConfiguration(uint8_t* value) override {
    *value = 1;
    return 0;
  }
  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest& request) override {
    std::lock_guard<std::mutex> lock(owner_->mutex);
    owner_->configurations.push_back(request);
    return 0;
  }
  uint32_t BindEndpoint(uint8_t address) override {
    std::lock_guard<std::mutex> lock(owner_->mutex);
    owner_->bound.push_back(address);
    return address == 0x99 ? 0xE0001000u : 0;
  }
  void AbortEndpoint() override {
    std::deque<usbdrv::Transfer*> ended;
    {
      std::lock_guard<std::mutex> lock(owner_->mutex);
      for (auto it = owner_->reads.begin(); it != owner_->reads.end();) {
        if (Mine(*it)) {
          ended.push_back(*it);
          it = owner_->reads.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (usbdrv::Transfer* t : ended) t->Complete(kAborted, 0);
  }
  void Submit(usbdrv::Transfer* t) override {
    if (!(t->endpoint & 0x80)) {
      uint32_t n = t->length;
      {
        std::lock_guard<std::mutex> lock(owner_->mutex);
        owner_->writes.emplace_back(reinterpret_cast<char*>(t->data), t->length);
        if (owner_->shortWrite && owner_->shortWrite < n) n = owner_->shortWrite;
        owner_->cv.notify_all();
      }
      t->Complete(0, n);
      return;
    }
    std::lock_guard<std::mutex> lock(owner_->mutex);
    mine_.push_back(t);
    owner_->reads.push_back(t);
    owner_->cv.notify_all();
  }
  void Cancel(usbdrv::Transfer* t) override {
    bool found = false;
    {
      std::lock_guard<std::mutex> lock(owner_->mutex);
      for (auto it = owner_->reads.begin(); it != owner_->reads.end(); ++it) {
        if (*it == t) {
          owner_->reads.erase(it);
          found = true;
          break;
        }
      }
    }
    if (found) t->Complete(kAborted, 0);
  }

 private:
  bool Mine(usbdrv::Transfer* t) {
    for (usbdrv::Transfer* m : mine_)
      if (m == t) return true;
    return false;
  }
  FakeInstance* owner_;
  std::vector<usbdrv::Transfer*> mine_;  // guarded by the owner's mutex
};

std::unique_ptr<usbdrv::Session> FakeInstance::Open() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!openable) return nullptr;
  open++;
  return std::unique_ptr<usbdrv::Session>(new FakeSession(this));
}

// A server publishing a fake instance in a fresh folder, running on a thread.
class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kv30sim-transport-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir = pattern;
    path = dir + "/kv30.sock";
    instance = std::make_shared<FakeInstance>();
    server.reset(new simwire::Server());
    ASSERT_TRUE(transcript.Open(dir + "/log"));
    std::string error;
    auto recorded = std::make_shared<kv30sim::RecordingInstance>(instance, &transcript);
    ASSERT_TRUE(server->Publish(path, kClass, recorded, &error)) << error;
    runner = std::thread([this] { server->Run(); });
  }
  void TearDown() override {
    StopServer();
    ASSERT_EQ(0, system(("rm -rf " + dir).c_str()));
  }
  void StopServer() {
    if (!server) return;
    server->Stop();
    runner.join();
    server.reset();
  }
  // A raw connection that has opened a handle.
  int RawOpen() {
    int fd = simwire::ConnectSocket(path);
    EXPECT_GE(fd, 0);
    simwire::Hello hello;
    hello.mode = simwire::kOpen;
    EXPECT_TRUE(simwire::WriteFrame(fd, simwire::Encode(hello), 2000));
    std::vector<uint8_t> body;
    EXPECT_EQ(1, simwire::ReadFrame(fd, &body, 2000));
    return fd;
  }

  std::string dir, path;
  std::shared_ptr<FakeInstance> instance;
  kv30sim::Transcript transcript;
  std::unique_ptr<simwire::Server> server;
  std::thread runner;
};

TEST_F(Transport, ControlRequestsCrossTheConnection) {
  simwire::RemoteInstance remoteInstance(path);
  std::unique_ptr<usbdrv::Session> s = remoteInstance.Open();
  ASSERT_TRUE(s);
  EXPECT_EQ(kFakeVersion, s->InterfaceVersion()) << "the device's version crosses with the greeting";

  uint8_t d[64] = {};
  uint32_t n = sizeof d;
  EXPECT_EQ(0u, s->GetDescriptor({0, 1, 0, 0}, d, &n));
  EXPECT_EQ(18u, n);
  EXPECT_EQ(0xDE, d[8]);
  EXPECT_EQ(0xEF, d[11]);
  n = 8;
  memset(d, 0, sizeof d);
  EXPECT_EQ(0u, s->GetDescriptor({0, 1, 0, 0}, d, &n));
  EXPECT_EQ(8u, n);
  EXPECT_EQ(0, d[8]) << "nothing past the room";
  n = 18;
  EXPECT_EQ(0xE0001105u, s->GetDescriptor({0, 2, 0, 0}, d, &n));
  EXPECT_EQ(0u, n);

  uint8_t value = 0;
  EXPECT_EQ(0u, s->GetConfiguration(&value));
  EXPECT_EQ(1, value);
  usbdrv::ConfigurationRequest configuration;
  configuration.configurationIndex = 2;
  configuration.interfaces = {{0, 0, 4096}, {1, 3, 0x01020304}};
  EXPECT_EQ(0u, s->SetConfiguration(configuration));
  EXPECT_EQ(0u, s->BindEndpoint(0x83));
  EXPECT_EQ(0xE0001000u, s->BindEndpoint(0x99));
  s->AbortEndpoint();
  std::lock_guard<std::mutex> lock(instance->mutex);
  ASSERT_EQ(1u, instance->configurations.size());
  const usbdrv::ConfigurationRequest& got = instance->configurations[0];
  EXPECT_EQ(2, got.configurationIndex);
  ASSERT_EQ(2u, got.interfaces.size());
  EXPECT_EQ(4096u, got.interfaces[0].maximumTransferSize);
  EXPECT_EQ(1, got.interfaces[1].interfaceNumber);
  EXPECT_EQ(3, got.interfaces[1].alternateSetting);
  EXPECT_EQ(0x01020304u, got.interfaces[1].maximumTransferSize);
  EXPECT_EQ((std::vector<uint8_t>{0x83, 0x99}), instance->bound);
}

TEST_F(Transport, TransfersCarryTheirBytesAndCounts) {
  simwire::RemoteInstance remoteInstance(path);
  std::unique_ptr<usbdrv::Session> s = remoteInstance.Open();
  ASSERT_TRUE(s);
  std::string block(1000, 'x');
  block[0] = 0;
  block[999] = '\xff';
  TestTransfer out(0x07, block);
  s->Submit(&out);
  ASSERT_TRUE(out.Wait(5000));
  EXPECT_EQ(0u, out.status());
  EXPECT_EQ(1000u, out.actual());

  {
    std::lock_guard<std::mutex> lock(instance->mutex);
    instance->shortWrite = 5;
  }
  TestTransfer shortOut(0x03, "config show\r\n");
  s->Submit(&shortOut);
  ASSERT_TRUE(shortOut.Wait(5000));
  EXPECT_EQ(5u, shortOut.actual());

  TestTransfer in(0x83, 4096);
  s->Submit(&in);
  ASSERT_TRUE(instance->Deliver(std::string("$ \0x", 4)));
  ASSERT_TRUE(in.Wait(5000));
  EXPECT_EQ(0u, in.status());
  EXPECT_EQ(4u, in.actual());
  EXPECT_EQ(0, memcmp(in.buffer.data(), "$ \0x", 4));
  EXPECT_EQ(0, in.buffer[4]);

  // A read longer than a message can carry asks for what fits.
  TestTransfer big(0x83, simwire::kMaxData + 10);
  s->Submit(&big);
  ASSERT_TRUE(instance->WaitFor([&] { return !instance->reads.empty(); }));
  {
    std::lock_guard<std::mutex> lock(instance->mutex);
    EXPECT_EQ(simwire::kMaxData, instance->reads.front()->length);
  }
  s->AbortEndpoint();
  ASSERT_TRUE(big.Wait(5000));

  std::lock_guard<std::mutex> lock(instance->mutex);
  ASSERT_EQ(2u, instance->writes.size());
  EXPECT_EQ(block, instance->writes[0]);
}

TEST_F(Transport, CancelAndAbortEndPendingReads) {
  simwire::RemoteInstance remoteInstance(path);
  std::unique_ptr<usbdrv::Session> s = remoteInstance.Open();
  ASSERT_TRUE(s);
  TestTransfer a(0x83, 64), b(0x83, 64), c(0x83, 64);
  s->Submit(&a);
  s->Submit(&b);
  s->Submit(&c);
  ASSERT_TRUE(instance->WaitFor([&] { return instance->reads.size() == 3; }));
  s->Cancel(&b);
  ASSERT_TRUE(b.Wait(5000));
  EXPECT_EQ(kAborted, b.status());
  EXPECT_EQ(0, a.completions());
  s->AbortEndpoint();
  ASSERT_TRUE(a.Wait(5000));
  ASSERT_TRUE(c.Wait(5000));
  EXPECT_EQ(kAborted, a.status());
  EXPECT_EQ(kAborted, c.status());
  // A cancel of a transfer that has completed changes nothing.
  s->Cancel(&b);
  EXPECT_EQ(0u, s->BindEndpoint(0x83));
  EXPECT_EQ(1, b.completions());
}

TEST_F(Transport, EachOpenIsASessionOfItsOwn) {
  simwire::RemoteInstance remoteInstance(path);
  std::unique_ptr<usbdrv::Session> one = remoteInstance.Open();
  std::unique_ptr<usbdrv::Session> two = remoteInstance.Open();
  ASSERT_TRUE(one && two);
  EXPECT_TRUE(instance->WaitFor([&] { return instance->open == 2; }));
  TestTransfer r1(0x83, 16), r2(0x83, 16);
  one->Submit(&r1);
  two->Submit(&r2);
  ASSERT_TRUE(instance->WaitFor([&] { return instance->reads.size() == 2; }));
  // Closing a handle ends its transfers there and its session.
  two->AbortEndpoint();
  ASSERT_TRUE(r2.Wait(5000));
  two.reset();
  EXPECT_TRUE(instance->WaitFor([&] { return instance->open == 1; }));
  ASSERT_TRUE(instance->Deliver("ok"));
  ASSERT_TRUE(r1.Wait(5000));
  EXPECT_EQ(2u, r1.actual());
}

TEST_F(Transport, AnInstanceThatCannotBeOpenedGivesNoSession) {
  {
    std::lock_guard<std::mutex> lock(instance->mutex);
    instance->openable = false;
  }
  simwire::RemoteInstance remoteInstance(path);
  EXPECT_FALSE(remoteInstance.Open());
  usbdrv::InterfaceClass g;
  EXPECT_TRUE(simwire::Probe(path, &g)) << "a probe opens nothing";
  EXPECT_TRUE(g == kClass);
}

TEST_F(Transport, AServerThatEndsLooksLikeAHandsetPulledOut) {
  simwire::RemoteInstance remoteInstance(path);
  std::unique_ptr<usbdrv::Session> s = remoteInstance.Open();
  ASSERT_TRUE(s);
  TestTransfer in(0x83, 64);
  s->Submit(&in);
  ASSERT_TRUE(instance->WaitFor([&] { return instance->reads.size() == 1; }));
  StopServer();
  ASSERT_TRUE(in.Wait(10000));
  EXPECT_EQ(kGone, in.status());
  uint8_t value = 0;
  EXPECT_EQ(kGone, s->GetConfiguration(&value));
  TestTransfer late(0x03, "x");
  s->Submit(&late);
  ASSERT_TRUE(late.Wait(1000));
  EXPECT_EQ(kGone, late.status());
  EXPECT_TRUE(instance->WaitFor([&] { return instance->open == 0; }));
  EXPECT_FALSE(remoteInstance.Open());
  struct stat st;
  EXPECT_NE(0, stat(path.c_str(), &st)) << "the socket is removed";
}

TEST_F(Transport, TheTranscriptHasOneLinePerSuccessfulTransfer) {
  simwire::RemoteInstance remoteInstance(path);
  std::unique_ptr<usbdrv::Session> s = remoteInstance.Open();
  ASSERT_TRUE(s);
  TestTransfer out(0x03, "config show\r\n");
  s->Submit(&out);
  ASSERT_TRUE(out.Wait(5000));
  TestTransfer in(0x83, 64), aborted(0x83, 64);
  s->Submit(&in);
  ASSERT_TRUE(instance->Deliver("$ "));
  ASSERT_TRUE(in.Wait(5000));
  s->Submit(&aborted);
  ASSERT_TRUE(instance->WaitFor([&] { return instance->reads.size() == 1; }));
  s->AbortEndpoint();
  ASSERT_TRUE(aborted.Wait(5000));
  s.reset();
  StopServer();
  FILE* f = fopen((dir + "/log").c_str(), "r");
  ASSERT_TRUE(f);
  char text[256] = {};
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  EXPECT_EQ("OUT 03 13 config show\\x0d\\x0a\nIN 83 2 $ \n", std::string(text, n));
}

// A client that breaks the protocol loses its connection; its session ends
// after its transfers, and the server goes on serving others.
TEST_F(Transport, AFaultyMessageEndsThatConnectionOnly) {
  simwire::Submit read;
  read.id = 1;
  read.endpoint = 0x83;
  read.length = 64;
  std::vector<uint8_t> readFrame = simwire::Encode(read);
  simwire::Control bind;
  bind.op = simwire::kBindEndpoint;
  bind.address = 0x83;
  std::vector<uint8_t> bindFrame = simwire::Encode(bind);

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases = {
      {"zero length", {0, 0, 0, 0}},
      {"oversized", {0x00, 0x00, 0x10, 0x00, simwire::kSubmit}},
      {"unknown type", {1, 0, 0, 0, 0x55}},
      {"a second hello", simwire::Encode(simwire::Hello())},
      {"reply type from a client", {6, 0, 0, 0, simwire::kComplete, 1, 0, 0, 0, 0}},
      {"control with a byte too many",
       [&] {
         auto f = bindFrame;
         f[0]++;
         f.push_back(0);
         return f;
       }()},
      {"the id of a pending transfer again", readFrame},
      {"write without its bytes",
       [] {
         simwire::Submit w;
         w.id = 5;
         w.endpoint = 0x03;
         w.length = 3;
         w.data = {1, 2, 3};
         auto f = simwire::Encode(w);
         f.resize(f.size() - 2);
         f[0] -= 2;
         return f;
       }()},
  };
  for (const Case& c : cases) {
    int fd = RawOpen();
    ASSERT_TRUE(simwire::WriteFrame(fd, readFrame, 2000)) << c.name;
    ASSERT_TRUE(instance->WaitFor([&] { return instance->reads.size() == 1; })) << c.name;
    ASSERT_TRUE(simwire::WriteFrame(fd, c.bytes, 2000)) << c.name;
    // The server closes: the read's completion may come first, then the end.
    std::vector<uint8_t> body;
    int r;
    while ((r = simwire::ReadFrame(fd, &body, 5000)) == 1) {
    }
    EXPECT_EQ(0, r) << c.name;
    EXPECT_TRUE(instance->WaitFor([&] { return instance->open == 0 && instance->reads.empty(); }))
        << c.name;
    close(fd);
  }
  simwire::RemoteInstance remoteInstance(path);
  std::unique_ptr<usbdrv::Session> s = remoteInstance.Open();
  ASSERT_TRUE(s);
  uint8_t value = 0;
  EXPECT_EQ(0u, s->GetConfiguration(&value));
}

TEST_F(Transport, PublishReplacesAStaleSocketOnly) {
  std::string error;
  simwire::Server other;
  EXPECT_FALSE(other.Publish(path, kClass, instance, &error));
  EXPECT_NE(std::string::npos, error.find("another kv30sim")) << error;

  // A socket whose process is gone: bound, never listening.
  std::string stale = dir + "/stale.sock";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, stale.c_str());
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  usbdrv::InterfaceClass g;
  EXPECT_FALSE(simwire::Probe(stale, &g));
  close(fd);
  EXPECT_TRUE(other.Publish(stale, kClass, instance, &error)) << error;

  std::string file = dir + "/file.sock";
  FILE* f = fopen(file.c_str(), "w");
  fclose(f);
  EXPECT_FALSE(other.Publish(file, kClass, instance, &error));
}

// The test plays the server over a socket pair and answers a read with a
// faulty completion: the client fails the read and the connection.
TEST(RemoteClient, AFaultyServerMessageFailsThePendingTransfers) {
  struct Case {
    const char* name;
    std::function<std::vector<uint8_t>(uint32_t id)> frame;
  } cases[] = {
      {"unknown id",
       [](uint32_t id) {
         simwire::Complete m;
         m.id = id + 1;
         return simwire::Encode(m);
       }},
      {"more bytes than the read asked for",
       [](uint32_t id) {
         simwire::Complete m;
         m.id = id;
         m.actual = 17;
         m.data.assign(17, 'a');
         return simwire::Encode(m);
       }},
      {"fewer bytes than counted",
       [](uint32_t id) {
         simwire::Complete m;
         m.id = id;
         m.actual = 4;
         m.data.assign(3, 'a');
         return simwire::Encode(m);
       }},
      {"a reply nobody asked for",
       [](uint32_t) {
         simwire::ControlReply r;
         r.op = simwire::kGetConfiguration;
         return simwire::Encode(r);
       }},
      {"unknown type",
       [](uint32_t) {
         return std::vector<uint8_t>{1, 0, 0, 0, 0x7E};
       }},
      {"oversized",
       [](uint32_t) {
         return std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF};
       }},
      {"zero length",
       [](uint32_t) {
         return std::vector<uint8_t>{0, 0, 0, 0};
       }},
  };
  for (const Case& c : cases) {
    TestTransfer in(0x83, 16);  // outlives the session
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    simwire::HelloReply hello;
    hello.opened = 1;
    ASSERT_TRUE(simwire::WriteFrame(fds[1], simwire::Encode(hello), 1000));
    std::unique_ptr<usbdrv::Session> s = simwire::OpenSession(fds[0]);
    ASSERT_TRUE(s) << c.name;
    std::vector<uint8_t> body;
    ASSERT_EQ(1, simwire::ReadFrame(fds[1], &body, 2000));  // the hello
    s->Submit(&in);
    ASSERT_EQ(1, simwire::ReadFrame(fds[1], &body, 2000));
    simwire::Submit m;
    ASSERT_TRUE(simwire::Decode(body.data(), body.size(), &m));
    ASSERT_TRUE(simwire::WriteFrame(fds[1], c.frame(m.id), 1000));
    ASSERT_TRUE(in.Wait(5000)) << c.name;
    EXPECT_EQ(kGone, in.status()) << c.name;
    EXPECT_EQ(0u, in.actual()) << c.name;
    EXPECT_EQ(0, in.buffer[0]) << c.name;
    uint8_t value = 0;
    EXPECT_EQ(kGone, s->GetConfiguration(&value)) << c.name;
    s.reset();
    close(fds[1]);
  }
}

TEST(RemoteClient, AServerThatKeepsACancelledReadIsGivenUp) {
  TestTransfer first(0x83, 16), kept(0x83, 16);  // outlive the session
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  simwire::HelloReply hello;
  hello.opened = 1;
  ASSERT_TRUE(simwire::WriteFrame(fds[1], simwire::Encode(hello), 1000));
  std::unique_ptr<usbdrv::Session> s = simwire::OpenSession(fds[0]);
  ASSERT_TRUE(s);
  std::vector<uint8_t> body;
  ASSERT_EQ(1, simwire::ReadFrame(fds[1], &body, 2000));  // the hello
  s->Submit(&first);
  s->Submit(&kept);
  simwire::Submit m;
  ASSERT_EQ(1, simwire::ReadFrame(fds[1], &body, 2000));
  ASSERT_TRUE(simwire::Decode(body.data(), body.size(), &m));
  simwire::Complete done;
  done.id = m.id;
  ASSERT_TRUE(simwire::WriteFrame(fds[1], simwire::Encode(done), 1000));
  ASSERT_TRUE(first.Wait(5000));
  EXPECT_EQ(0u, first.status());
  // The client's reader is back to waiting for the socket when the cancel
  // comes (the pause only makes that likely; the check does not rest on it).
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  s->Cancel(&kept);
  // Nobody answers the cancel; the client ends the read itself.
  ASSERT_TRUE(kept.Wait(simwire::kCancelTimeoutMs + 5000));
  EXPECT_EQ(kGone, kept.status());
  s.reset();
  close(fds[1]);
}

TEST(RemoteClient, AControlRequestWithoutAnswerTimesOut) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  simwire::HelloReply hello;
  hello.opened = 1;
  ASSERT_TRUE(simwire::WriteFrame(fds[1], simwire::Encode(hello), 1000));
  std::unique_ptr<usbdrv::Session> s = simwire::OpenSession(fds[0]);
  ASSERT_TRUE(s);
  uint8_t value = 0;
  EXPECT_EQ(0xE000100Cu, s->GetConfiguration(&value));
  EXPECT_EQ(kGone, s->BindEndpoint(0x83)) << "the connection is given up";
  s.reset();
  close(fds[1]);
}

TEST(RemoteClient, NoSessionWhenTheServerRefusesOrIsNoServer) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  simwire::HelloReply hello;
  hello.opened = 0;
  ASSERT_TRUE(simwire::WriteFrame(fds[1], simwire::Encode(hello), 1000));
  EXPECT_FALSE(simwire::OpenSession(fds[0]));
  close(fds[1]);

  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  const char junk[] = "HTTP/1.1 200 OK\r\n\r\n";
  ASSERT_EQ(ssize_t(sizeof junk), write(fds[1], junk, sizeof junk));
  EXPECT_FALSE(simwire::OpenSession(fds[0]));
  close(fds[1]);
}

}  // namespace
