#include "client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "simdir.h"
#include "wire.h"

namespace remote {
namespace {

constexpr uint32_t kNotConnected = ERROR_DEVICE_NOT_CONNECTED;
constexpr uint32_t kTimedOut = 0xE000100Cu;
constexpr uint32_t kInvalidParameter = 0xE0001105u;

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Sends a Hello and reads the reply. False on any fault.
bool Greet(int fd, uint8_t mode, HelloReply* reply) {
  Hello hello;
  hello.mode = mode;
  if (!WriteFrame(fd, Encode(hello), kHelloTimeoutMs)) return false;
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, kHelloTimeoutMs) <= 0) return false;
  std::vector<uint8_t> body;
  if (ReadFrame(fd, &body, kFrameTimeoutMs) != 1) return false;
  return Decode(body.data(), body.size(), reply);
}

class RemoteSession : public usbdrv::Session {
 public:
  explicit RemoteSession(int fd) : fd_(fd) {
    // The reader waits on the socket and on this pipe, which tells it that a
    // cancellation has set a deadline.
    if (pipe(wake_) == 0) {
      for (int end : wake_) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, O_NONBLOCK);
      }
    } else {
      wake_[0] = wake_[1] = -1;
      broken_ = true;
    }
    reader_ = std::thread([this] { ReadLoop(); });
  }

  ~RemoteSession() override {
    shutdown(fd_, SHUT_RDWR);
    reader_.join();
    Fail();
    close(fd_);
    if (wake_[0] >= 0) close(wake_[0]);
    if (wake_[1] >= 0) close(wake_[1]);
  }

  uint32_t DriverInfo(uint8_t info[12]) override {
    Control c;
    c.op = kDriverInfo;
    ControlReply r;
    uint32_t status = Request(c, 12, &r);
    if (status == 0 && r.data.size() != 12) status = kInvalidParameter;
    if (status == 0) memcpy(info, r.data.data(), 12);
    return status;
  }

  uint32_t GetDescriptor(uint32_t recipient, uint8_t type, uint8_t index, uint16_t language,
                         uint8_t* out, uint32_t* length) override {
    Control c;
    c.op = kGetDescriptor;
    c.recipient = recipient;
    c.descriptorType = type;
    c.descriptorIndex = index;
    c.language = language;
    c.room = *length > kMaxData ? kMaxData : *length;
    ControlReply r;
    uint32_t status = Request(c, c.room, &r);
    if (status == 0) {
      memcpy(out, r.data.data(), r.data.size());
      *length = static_cast<uint32_t>(r.data.size());
    } else {
      *length = 0;
    }
    return status;
  }

  uint32_t GetConfiguration(uint8_t* value) override {
    Control c;
    c.op = kGetConfiguration;
    ControlReply r;
    uint32_t status = Request(c, 1, &r);
    if (status == 0 && r.data.size() != 1) status = kInvalidParameter;
    if (status == 0) *value = r.data[0];
    return status;
  }

  uint32_t SetConfiguration(const uint8_t* record, uint32_t length) override {
    if (length > kMaxData) return kInvalidParameter;
    Control c;
    c.op = kSetConfiguration;
    c.data.assign(record, record + length);
    ControlReply r;
    return Request(c, 0, &r);
  }

  uint32_t BindEndpoint(uint8_t address) override {
    Control c;
    c.op = kBindEndpoint;
    c.address = address;
    ControlReply r;
    return Request(c, 0, &r);
  }

  uint32_t AbortEndpoint() override {
    {
      // The transfers pending now must end soon; a server that keeps them
      // is taken for gone.
      std::lock_guard<std::mutex> lock(mutex_);
      int64_t deadline = NowMs() + kCancelTimeoutMs;
      for (auto& entry : pending_)
        if (entry.second.deadline == 0) entry.second.deadline = deadline;
    }
    Wake();
    Control c;
    c.op = kAbortEndpoint;
    ControlReply r;
    return Request(c, 0, &r);
  }

  void Submit(usbdrv::Transfer* transfer) override {
    bool in = (transfer->endpoint & 0x80) != 0;
    uint32_t length = transfer->length;
    // A read asks for at most kMaxData bytes; a longer write cannot cross.
    if (in && length > kMaxData) length = kMaxData;
    if (!in && length > kMaxData) {
      transfer->Complete(kInvalidParameter, 0);
      return;
    }
    remote::Submit m;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (broken_ || pending_.size() >= kMaxPending) {
        // Completed below, outside the lock.
        m.id = 0;
      } else {
        m.id = nextId_++;
        if (nextId_ == 0) nextId_ = 1;
        pending_[m.id] = Entry{transfer, in, length, 0};
        byTransfer_[transfer] = m.id;
      }
    }
    if (m.id == 0) {
      transfer->Complete(kNotConnected, 0);
      return;
    }
    m.endpoint = transfer->endpoint;
    m.length = length;
    if (!in) m.data.assign(transfer->data, transfer->data + length);
    if (!Send(Encode(m))) Fail();
  }

  void Cancel(usbdrv::Transfer* transfer) override {
    remote::Cancel m;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = byTransfer_.find(transfer);
      if (it == byTransfer_.end() || broken_) return;
      m.id = it->second;
      Entry& entry = pending_[m.id];
      if (entry.deadline == 0) entry.deadline = NowMs() + kCancelTimeoutMs;
    }
    Wake();
    if (!Send(Encode(m))) Fail();
  }

 private:
  struct Entry {
    usbdrv::Transfer* transfer;
    bool in;
    uint32_t length;
    int64_t deadline;  // 0: none; else the time by which its completion is due
  };

  void Wake() {
    char c = 1;
    ssize_t r = write(wake_[1], &c, 1);  // a full pipe is awake already
    (void)r;
  }

  bool Send(const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    return WriteFrame(fd_, frame, kWriteTimeoutMs);
  }

  // One control request and its reply; one at a time.
  uint32_t Request(Control& c, uint32_t room, ControlReply* reply) {
    std::lock_guard<std::mutex> one(controlMutex_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (broken_) return kNotConnected;
      c.id = nextControl_++;
      waitingId_ = c.id;
      waitingOp_ = c.op;
      waitingRoom_ = room;
      replied_ = false;
    }
    if (!Send(Encode(c))) {
      Fail();
      return kNotConnected;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    bool done = cv_.wait_for(lock, std::chrono::milliseconds(kControlTimeoutMs),
                             [this] { return replied_ || broken_; });
    waitingId_ = 0;
    if (replied_) {
      *reply = std::move(reply_);
      return reply->status;
    }
    if (broken_) return kNotConnected;
    (void)done;
    lock.unlock();
    // A server that does not answer cannot be trusted with the next request.
    Fail();
    return kTimedOut;
  }

  // Ends the connection: every pending transfer fails, every later request
  // fails at once.
  void Fail() {
    std::vector<usbdrv::Transfer*> failed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      broken_ = true;
      for (auto& entry : pending_) failed.push_back(entry.second.transfer);
      pending_.clear();
      byTransfer_.clear();
    }
    cv_.notify_all();
    shutdown(fd_, SHUT_RDWR);
    for (usbdrv::Transfer* t : failed) t->Complete(kNotConnected, 0);
  }

  // Milliseconds until the earliest cancellation is due; -1 for none; 0
  // when one is overdue.
  int NextDeadline() {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t first = 0;
    for (auto& entry : pending_)
      if (entry.second.deadline != 0 && (first == 0 || entry.second.deadline < first))
        first = entry.second.deadline;
    if (first == 0) return -1;
    int64_t left = first - NowMs();
    return left <= 0 ? 0 : static_cast<int>(left);
  }

  bool Dispatch(const std::vector<uint8_t>& body) {
    if (body.empty()) return false;
    if (body[0] == kControlReply) {
      std::lock_guard<std::mutex> lock(mutex_);
      ControlReply r;
      if (waitingId_ == 0 || !Decode(body.data(), body.size(), waitingOp_, waitingRoom_, &r) ||
          r.id != waitingId_)
        return false;
      reply_ = std::move(r);
      replied_ = true;
      waitingId_ = 0;
      cv_.notify_all();
      return true;
    }
    if (body[0] == kComplete) {
      uint32_t id = 0;
      Complete m;
      usbdrv::Transfer* transfer = nullptr;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!DecodeCompleteHeader(body.data(), body.size(), &id)) return false;
        auto it = pending_.find(id);
        if (it == pending_.end()) return false;
        if (!Decode(body.data(), body.size(), it->second.in, it->second.length, &m)) return false;
        transfer = it->second.transfer;
        byTransfer_.erase(transfer);
        pending_.erase(it);
      }
      if (!m.data.empty()) memcpy(transfer->data, m.data.data(), m.data.size());
      transfer->Complete(m.status, m.actual);
      return true;
    }
    return false;
  }

  void ReadLoop() {
    std::vector<uint8_t> body;
    for (;;) {
      int wait = NextDeadline();
      if (wait == 0) break;  // a cancelled transfer was never completed
      pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      int r = poll(p, 2, wait);
      if (r == 0) continue;
      if (r < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (p[1].revents) {
        char drain[64];
        while (read(wake_[0], drain, sizeof drain) > 0) {
        }
      }
      if (!(p[0].revents)) continue;
      if (ReadFrame(fd_, &body, kFrameTimeoutMs) != 1) break;
      if (!Dispatch(body)) break;
    }
    Fail();
  }

  int fd_;
  int wake_[2] = {-1, -1};
  std::thread reader_;
  std::mutex sendMutex_;     // one frame at a time on the socket
  std::mutex controlMutex_;  // one control request at a time
  std::mutex mutex_;         // everything below
  std::condition_variable cv_;
  bool broken_ = false;
  uint32_t nextId_ = 1;
  uint32_t nextControl_ = 1;
  std::map<uint32_t, Entry> pending_;
  std::unordered_map<usbdrv::Transfer*, uint32_t> byTransfer_;
  uint32_t waitingId_ = 0;
  uint8_t waitingOp_ = 0;
  uint32_t waitingRoom_ = 0;
  bool replied_ = false;
  ControlReply reply_;
};

}  // namespace

bool Probe(const std::string& path, GUID* interfaceClass) {
  int fd = ConnectSocket(path);
  if (fd < 0) return false;
  HelloReply reply;
  bool ok = Greet(fd, kProbe, &reply) && reply.opened == 1;
  close(fd);
  if (ok) memcpy(interfaceClass, reply.interfaceClass, sizeof *interfaceClass);
  return ok;
}

std::unique_ptr<usbdrv::Session> OpenSession(int fd) {
  HelloReply reply;
  if (!Greet(fd, kOpen, &reply) || reply.opened != 1) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<usbdrv::Session>(new RemoteSession(fd));
}

std::unique_ptr<usbdrv::Session> RemoteInstance::Open() {
  int fd = ConnectSocket(path_);
  if (fd < 0) return nullptr;
  return OpenSession(fd);
}

}  // namespace remote
