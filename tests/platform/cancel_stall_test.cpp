// A kv30sim that stops reading its socket while velkor cancels transfers on
// it: the cancellation returns at once, and the completions of every other
// handle are delivered meanwhile.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "driver_fixture.h"
#include "simwire/client.h"
#include "simwire/codec.h"
#include "simwire/frame.h"

namespace platformtest {
namespace {

// The server end of one connection: greets, answers every control request
// with success until the first submission, then reads nothing more.
class StalledServer {
 public:
  explicit StalledServer(int fd) : fd_(fd) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~StalledServer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }

 private:
  void Serve() {
    std::vector<uint8_t> body;
    if (simwire::ReadFrame(fd_, &body, 5000) != 1) return;
    simwire::HelloReply reply;
    reply.opened = 1;
    if (!simwire::WriteFrame(fd_, simwire::Encode(reply), 5000)) return;
    while (simwire::ReadFrame(fd_, &body, 5000) == 1) {
      simwire::Control control;
      if (!simwire::Decode(body.data(), body.size(), &control)) return;  // the first submission
      simwire::ControlReply answer;
      answer.id = control.id;
      answer.op = control.op;
      if (!simwire::WriteFrame(fd_, simwire::Encode(answer), 5000)) return;
    }
  }

  int fd_;
  std::thread thread_;
};

// A driver instance behind one end of a socket pair whose other end is a
// StalledServer. The client's send buffer is small, so that one big write
// fills the connection.
class StalledInstance : public usbdrv::Instance {
 public:
  std::unique_ptr<usbdrv::Session> Open() override {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return nullptr;
    const int small = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    server_.reset(new StalledServer(fds[1]));
    return simwire::OpenSession(fds[0]);
  }

 private:
  std::unique_ptr<StalledServer> server_;
};

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST_F(DriverTest, AStalledKv30simDelaysNoOtherCompletionWhileItsTransfersAreCancelled) {
  auto stalled = std::make_shared<StalledInstance>();
  const int stalledId = posixplat::RegisterInstance(ClassOf(kTestClass), stalled);
  const std::string healthyPath = path;
  path = posixplat::DevicePath(stalledId);
  HANDLE writer = OpenBound(0x03);
  path = healthyPath;
  HANDLE reader = OpenBound(0x83);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);

  // A read on the healthy handle, pending in the fake device.
  OVERLAPPED readRecord{};
  readRecord.hEvent = Event(true);
  uint8_t readBuffer[16];
  ASSERT_FALSE(ReadFile(reader, readBuffer, sizeof readBuffer, nullptr, &readRecord));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  ASSERT_TRUE(state->WaitPending(1));

  // Writes far beyond what the stalled connection takes.
  std::vector<uint8_t> block(60000, 0x55);
  OVERLAPPED writeRecords[3] = {};
  for (OVERLAPPED& record : writeRecords) {
    record.hEvent = Event(true);
    ASSERT_FALSE(WriteFile(writer, block.data(), static_cast<DWORD>(block.size()), nullptr, &record));
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  }

  // The cancellation does not wait for the stalled peer...
  const Clock::time_point cancelStart = Clock::now();
  ASSERT_TRUE(CancelIo(writer));
  EXPECT_LT(MsSince(cancelStart), 1000) << "CancelIo waited for the stalled kv30sim";

  // ...and another handle's completion is delivered while the cancelled
  // transfers are still outstanding.
  const Clock::time_point completeStart = Clock::now();
  ASSERT_TRUE(state->CompleteOldest(0, {1, 2, 3}));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(readRecord.hEvent, 10000));
  EXPECT_LT(MsSince(completeStart), 1000) << "a completion waited for the stalled kv30sim";
  DWORD bytes = 0;
  EXPECT_TRUE(GetOverlappedResult(reader, &readRecord, &bytes, FALSE));
  EXPECT_EQ(3u, bytes);

  // The stalled connection is given up: its writes end with a failure.
  for (OVERLAPPED& record : writeRecords) {
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(record.hEvent, 15000));
    EXPECT_FALSE(GetOverlappedResult(writer, &record, &bytes, FALSE));
    EXPECT_NE(0u, GetLastError());
  }
}

}  // namespace
}  // namespace platformtest
