#include "sim/kv30sim/server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <thread>

#include "remote/simdir.h"
#include "remote/wire.h"

namespace kv30sim {

namespace {

constexpr int kHelloWaitMs = 10000;    // a new connection must greet within this
constexpr int kFrameTimeoutMs = 5000;  // the rest of a frame once it began
constexpr int kWriteTimeoutMs = 5000;  // room in the socket for one frame
constexpr int kDrainTimeoutMs = 5000;  // the device ending a closed handle's transfers

}  // namespace

class Connection {
 public:
  Connection(int fd, const GUID& interfaceClass, std::shared_ptr<usbdrv::Instance> instance,
             Transcript* transcript)
      : fd_(fd),
        interfaceClass_(interfaceClass),
        instance_(std::move(instance)),
        transcript_(transcript) {
    writer_ = std::thread([this] { WriteLoop(); });
    reader_ = std::thread([this] { ReadLoop(); });
  }

  // The reader thread joins the writer before it ends.
  ~Connection() {
    Stop();
    reader_.join();
    close(fd_);
  }

  // Ends the connection as if the peer had gone.
  void Stop() { shutdown(fd_, SHUT_RDWR); }
  bool Finished() const { return finished_.load(); }

 private:
  class Transfer final : public usbdrv::Transfer {
   public:
    Transfer(Connection* owner, uint32_t id) : owner_(owner), id_(id) {}
    void Complete(uint32_t status, uint32_t actual) override {
      owner_->Completed(this, status, actual);
    }
    std::vector<uint8_t> buffer;
    uint32_t id() const { return id_; }
    bool done = false;  // guarded by the connection's mutex

   private:
    Connection* owner_;
    uint32_t id_;
  };

  void Queue(std::vector<uint8_t> frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writerDone_) return;
    outgoing_.push_back(std::move(frame));
    cv_.notify_all();
  }

  void WriteLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return !outgoing_.empty() || closing_; });
      if (outgoing_.empty()) break;
      std::vector<uint8_t> frame = std::move(outgoing_.front());
      outgoing_.pop_front();
      lock.unlock();
      bool ok = remote::WriteFrame(fd_, frame, kWriteTimeoutMs);
      lock.lock();
      if (!ok) {
        // The peer is gone or does not read: end the whole connection.
        outgoing_.clear();
        shutdown(fd_, SHUT_RDWR);
        break;
      }
    }
    writerDone_ = true;
    outgoing_.clear();
  }

  // Called by the device, from any thread, once per submitted transfer.
  void Completed(Transfer* t, uint32_t status, uint32_t actual) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (t->done) return;  // a second completion of the same transfer
    }
    bool in = (t->endpoint & 0x80) != 0;
    if (actual > t->length) actual = t->length;
    remote::Complete m;
    m.id = t->id();
    m.status = status;
    m.actual = actual;
    if (in) m.data.assign(t->buffer.begin(), t->buffer.begin() + actual);
    if (status == 0 && transcript_) transcript_->Record(t->endpoint, t->buffer.data(), actual);
    Queue(remote::Encode(m));
    // Notified under the lock: once the lock is released the reader thread
    // may end the connection, and this thread must not touch it again.
    std::lock_guard<std::mutex> lock(mutex_);
    t->done = true;
    finishedIds_.push_back(t->id());
    pendingCount_--;
    cv_.notify_all();
  }

  // Frees the transfers that have completed. Only the reader thread calls
  // it, and only between calls into the session, so no Cancel can be
  // holding a transfer that is freed here.
  void Reap() {
    std::vector<uint32_t> ids;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ids.swap(finishedIds_);
    }
    for (uint32_t id : ids) transfers_.erase(id);
  }

  bool HandleControl(const std::vector<uint8_t>& body) {
    remote::Control c;
    if (!remote::Decode(body.data(), body.size(), &c)) return false;
    remote::ControlReply r;
    r.id = c.id;
    r.op = c.op;
    switch (c.op) {
      case remote::kDriverInfo: {
        uint8_t info[12] = {};
        r.status = session_->DriverInfo(info);
        if (r.status == 0) r.data.assign(info, info + 12);
        break;
      }
      case remote::kGetDescriptor: {
        std::vector<uint8_t> out(c.room ? c.room : 1);  // never a null buffer
        uint32_t length = c.room;
        r.status = session_->GetDescriptor(c.recipient, c.descriptorType, c.descriptorIndex,
                                           c.language, out.data(), &length);
        if (r.status == 0) {
          out.resize(length < c.room ? length : c.room);
          r.data = std::move(out);
        }
        break;
      }
      case remote::kGetConfiguration: {
        uint8_t value = 0;
        r.status = session_->GetConfiguration(&value);
        if (r.status == 0) r.data.push_back(value);
        break;
      }
      case remote::kSetConfiguration:
        r.status = session_->SetConfiguration(c.data.data(), static_cast<uint32_t>(c.data.size()));
        break;
      case remote::kBindEndpoint:
        r.status = session_->BindEndpoint(c.address);
        break;
      case remote::kAbortEndpoint:
        r.status = session_->AbortEndpoint();
        break;
      default:
        return false;
    }
    Queue(remote::Encode(r));
    return true;
  }

  bool HandleSubmit(const std::vector<uint8_t>& body) {
    remote::Submit m;
    if (!remote::Decode(body.data(), body.size(), &m)) return false;
    if (transfers_.count(m.id)) return false;  // an id still in use
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (pendingCount_ >= remote::kMaxPending) return false;
      pendingCount_++;
    }
    std::unique_ptr<Transfer> t(new Transfer(this, m.id));
    t->endpoint = m.endpoint;
    t->length = m.length;
    if (m.endpoint & 0x80)
      t->buffer.assign(m.length, 0);
    else
      t->buffer = std::move(m.data);
    t->data = t->buffer.data();
    Transfer* raw = t.get();
    transfers_[m.id] = std::move(t);
    session_->Submit(raw);
    return true;
  }

  bool HandleCancel(const std::vector<uint8_t>& body) {
    remote::Cancel m;
    if (!remote::Decode(body.data(), body.size(), &m)) return false;
    auto it = transfers_.find(m.id);
    if (it == transfers_.end()) return true;  // completed already
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (it->second->done) return true;
    }
    session_->Cancel(it->second.get());
    return true;
  }

  // Greets the peer. True when a session is open and requests may follow.
  bool Greet() {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, kHelloWaitMs) <= 0) return false;
    std::vector<uint8_t> body;
    if (remote::ReadFrame(fd_, &body, kFrameTimeoutMs) != 1) return false;
    remote::Hello hello;
    if (!remote::Decode(body.data(), body.size(), &hello)) return false;
    remote::HelloReply reply;
    memcpy(reply.interfaceClass, &interfaceClass_, sizeof reply.interfaceClass);
    if (hello.mode == remote::kOpen) session_ = instance_->Open();
    reply.opened = (hello.mode == remote::kProbe || session_) ? 1 : 0;
    Queue(remote::Encode(reply));
    return session_ != nullptr;
  }

  void ReadLoop() {
    if (Greet()) {
      std::vector<uint8_t> body;
      for (;;) {
        Reap();
        if (remote::ReadFrame(fd_, &body, kFrameTimeoutMs) != 1) break;
        bool ok = false;
        switch (body[0]) {
          case remote::kControl:
            ok = HandleControl(body);
            break;
          case remote::kSubmit:
            ok = HandleSubmit(body);
            break;
          case remote::kCancel:
            ok = HandleCancel(body);
            break;
          default:
            break;
        }
        if (!ok) break;  // a faulty message ends the connection
      }
      EndSession();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    cv_.notify_all();
    // The writer sends what is queued (a greeting's answer), then the
    // connection ends.
    writer_.join();
    shutdown(fd_, SHUT_RDWR);
    finished_ = true;
  }

  // The handle is closed: the device ends what is pending, then the session
  // goes. A device that keeps transfers is left with them rather than have
  // them freed under it.
  void EndSession() {
    Reap();
    bool pending = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending = pendingCount_ != 0;
    }
    if (pending) {
      session_->AbortEndpoint();
      for (auto& entry : transfers_) {
        bool done;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          done = entry.second->done;
        }
        if (!done) session_->Cancel(entry.second.get());
      }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    bool drained = cv_.wait_for(lock, std::chrono::milliseconds(kDrainTimeoutMs),
                                [this] { return pendingCount_ == 0; });
    lock.unlock();
    if (!drained) {
      fprintf(stderr, "kv30sim: the device kept transfers of a closed handle\n");
      session_.release();
      for (auto& entry : transfers_) entry.second.release();
      transfers_.clear();
      return;
    }
    Reap();
    session_.reset();
  }

  int fd_;
  GUID interfaceClass_;
  std::shared_ptr<usbdrv::Instance> instance_;
  Transcript* transcript_;
  std::unique_ptr<usbdrv::Session> session_;                 // reader thread only
  std::map<uint32_t, std::unique_ptr<Transfer>> transfers_;  // reader thread only
  std::thread writer_;
  std::thread reader_;
  std::atomic<bool> finished_{false};

  std::mutex mutex_;  // everything below, and Transfer::done
  std::condition_variable cv_;
  std::deque<std::vector<uint8_t>> outgoing_;
  bool closing_ = false;
  bool writerDone_ = false;
  uint32_t pendingCount_ = 0;
  std::vector<uint32_t> finishedIds_;
};

Server::Server(Transcript* transcript) : transcript_(transcript) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

Server::~Server() {
  Unpublish();
  Reap(true);
  if (wake_[0] >= 0) close(wake_[0]);
  if (wake_[1] >= 0) close(wake_[1]);
}

bool Server::Publish(const std::string& path, const GUID& interfaceClass,
                     std::shared_ptr<usbdrv::Instance> instance, std::string* error) {
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *error = path + ": path too long for a socket";
    return false;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + ": exists and is not a socket";
      return false;
    }
    int probe = remote::ConnectSocket(path);
    if (probe >= 0) {
      close(probe);
      *error = path + ": another kv30sim is running there";
      return false;
    }
    if (errno != ECONNREFUSED) {
      *error = path + ": cannot tell whether it is in use: " + strerror(errno);
      return false;
    }
    unlink(path.c_str());  // stale: its process is gone
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return false;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(path.c_str(), 0600) != 0 || listen(fd, 16) != 0) {
    *error = path + ": " + strerror(errno);
    close(fd);
    return false;
  }
  endpoints_.push_back(Endpoint{path, fd, interfaceClass, std::move(instance)});
  return true;
}

void Server::Stop() {
  if (wake_[1] >= 0) {
    char c = 1;
    ssize_t r = write(wake_[1], &c, 1);
    (void)r;
  }
}

void Server::Unpublish() {
  for (Endpoint& e : endpoints_) {
    unlink(e.path.c_str());
    close(e.fd);
  }
  endpoints_.clear();
}

void Server::Reap(bool all) {
  if (all)
    for (auto& c : connections_) c->Stop();
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all || (*it)->Finished())
      it = connections_.erase(it);
    else
      ++it;
  }
}

void Server::Run() {
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back(pollfd{wake_[0], POLLIN, 0});
    for (Endpoint& e : endpoints_) fds.push_back(pollfd{e.fd, POLLIN, 0});
    int r = poll(fds.data(), fds.size(), 500);
    Reap(false);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (fds[0].revents) break;
    for (size_t i = 1; i < fds.size(); i++) {
      if (!(fds[i].revents & POLLIN)) continue;
      int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        // Out of descriptors or memory: back off instead of spinning on a
        // socket that stays readable.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          usleep(100000);
        continue;
      }
      accepted_++;
      Endpoint& e = endpoints_[i - 1];
      connections_.emplace_back(new Connection(c, e.interfaceClass, e.instance, transcript_));
    }
  }
  Unpublish();
  Reap(true);
}

}  // namespace kv30sim
