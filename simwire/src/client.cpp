#include "simwire/client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "simwire/codec.h"
#include "simwire/frame.h"
#include "simwire/simdir.h"
#include "simwire/timing.h"

namespace simwire {
namespace {

constexpr uint32_t kNotConnected = USBDRV_ERROR_DEVICE_NOT_CONNECTED;
constexpr uint32_t kTimedOut = USBDRV_STATUS_TIMEOUT;
constexpr uint32_t kInvalidParameter = USBDRV_STATUS_INVALID_PARAMETER;

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
  RemoteSession(int fd, uint16_t interfaceVersion) : fd_(fd), interfaceVersion_(interfaceVersion) {
    // The reader waits on the socket and on this pipe, which tells it that a
    // cancellation has set a deadline.
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
      wake_[0] = wake_[1] = -1;
      broken_ = true;
    }
    reader_ = std::thread([this] { ReadLoop(); });
    writer_ = std::thread([this] { WriteLoop(); });
  }

  ~RemoteSession() override {
    shutdown(fd_, SHUT_RDWR);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    cv_.notify_all();
    reader_.join();
    writer_.join();
    Fail();
    close(fd_);
    if (wake_[0] >= 0) close(wake_[0]);
    if (wake_[1] >= 0) close(wake_[1]);
  }

  uint16_t InterfaceVersion() override { return interfaceVersion_; }

  uint32_t GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                         uint32_t* length) override {
    Control c;
    c.op = kGetDescriptor;
    c.descriptor = request;
    c.room = *length > kMaxData ? kMaxData : *length;
    ControlReply r;
    const uint32_t status = Request(c, c.room, &r);
    if (status == 0) {
      if (!r.data.empty()) memcpy(out, r.data.data(), r.data.size());
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

  uint32_t SetConfiguration(const usbdrv::ConfigurationRequest& request) override {
    if (request.interfaces.size() > USBDRV_MAX_INTERFACE_ENTRIES) return kInvalidParameter;
    Control c;
    c.op = kSetConfiguration;
    c.configuration = request;
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

  void AbortEndpoint() override {
    {
      // The transfers pending now must end soon; a server that keeps them
      // is taken for gone.
      std::lock_guard<std::mutex> lock(mutex_);
      const int64_t deadline = MonotonicMs() + kCancelTimeoutMs;
      for (auto& entry : pending_)
        if (entry.second.deadline == 0) entry.second.deadline = deadline;
    }
    Wake();
    Queue(Encode(Abort()));
  }

  void Submit(usbdrv::Transfer* transfer) override {
    const bool in = (transfer->endpoint & 0x80) != 0;
    uint32_t length = transfer->length;
    // A read asks for at most kMaxData bytes; a longer write cannot cross.
    if (in && length > kMaxData) length = kMaxData;
    if (!in && length > kMaxData) {
      transfer->Complete(kInvalidParameter, 0);
      return;
    }
    simwire::Submit m;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (broken_ || pending_.size() >= kMaxPending) {
        m.id = 0;  // completed below, outside the lock
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
    Queue(Encode(m));
  }

  void Cancel(usbdrv::Transfer* transfer) override {
    simwire::Cancel m;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = byTransfer_.find(transfer);
      if (it == byTransfer_.end() || broken_) return;
      m.id = it->second;
      Entry& entry = pending_[m.id];
      if (entry.deadline == 0) entry.deadline = MonotonicMs() + kCancelTimeoutMs;
    }
    Wake();
    Queue(Encode(m));
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

  // Hands a frame to the writer thread; never waits for the socket.
  void Queue(std::vector<uint8_t> frame) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (broken_) return;
      outgoing_.push_back(std::move(frame));
    }
    cv_.notify_all();
  }

  void WriteLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return !outgoing_.empty() || broken_ || closing_; });
      if (outgoing_.empty() || broken_) break;
      std::vector<uint8_t> frame = std::move(outgoing_.front());
      outgoing_.pop_front();
      lock.unlock();
      const bool ok = WriteFrame(fd_, frame, kWriteTimeoutMs);
      if (!ok) {
        // The peer is gone or does not read: end the whole connection.
        Fail();
        return;
      }
      lock.lock();
    }
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
    Queue(Encode(c));
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(kControlTimeoutMs),
                 [this] { return replied_ || broken_; });
    waitingId_ = 0;
    if (replied_) {
      *reply = std::move(reply_);
      return reply->status;
    }
    if (broken_) return kNotConnected;
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
      outgoing_.clear();
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
    const int64_t left = first - MonotonicMs();
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
      const int wait = NextDeadline();
      if (wait == 0) break;  // a cancelled transfer was never completed
      pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      const int r = poll(p, 2, wait);
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

  const int fd_;
  const uint16_t interfaceVersion_;
  int wake_[2] = {-1, -1};
  std::thread reader_;
  std::thread writer_;
  std::mutex controlMutex_;  // one control request at a time
  std::mutex mutex_;         // everything below
  std::condition_variable cv_;
  bool broken_ = false;
  bool closing_ = false;
  std::deque<std::vector<uint8_t>> outgoing_;
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

bool Probe(const std::string& path, usbdrv::InterfaceClass* interfaceClass) {
  const int fd = ConnectSocket(path);
  if (fd < 0) return false;
  HelloReply reply;
  const bool ok = Greet(fd, kProbe, &reply) && reply.opened == 1;
  close(fd);
  if (ok) *interfaceClass = reply.interfaceClass;
  return ok;
}

std::vector<std::shared_ptr<usbdrv::Instance>> FindHandsets(
    const usbdrv::InterfaceClass& interfaceClass) {
  std::vector<std::shared_ptr<usbdrv::Instance>> found;
  const std::string dir = SimDirectory();
  if (CheckDirectory(dir) != kDirSafe) return found;
  for (const std::string& name : ListSockets(dir)) {
    const std::string path = dir + "/" + name;
    usbdrv::InterfaceClass published;
    if (!Probe(path, &published) || published != interfaceClass) continue;
    found.push_back(std::make_shared<RemoteInstance>(path));
  }
  return found;
}

std::unique_ptr<usbdrv::Session> OpenSession(int fd) {
  HelloReply reply;
  if (!Greet(fd, kOpen, &reply) || reply.opened != 1) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<usbdrv::Session>(new RemoteSession(fd, reply.interfaceVersion));
}

std::unique_ptr<usbdrv::Session> RemoteInstance::Open() {
  const int fd = ConnectSocket(path_);
  if (fd < 0) return nullptr;
  return OpenSession(fd);
}

}  // namespace simwire
