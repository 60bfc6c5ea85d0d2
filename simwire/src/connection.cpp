#include "simwire/connection.h"

#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "simwire/codec.h"
#include "simwire/frame.h"
#include "simwire/timing.h"

namespace simwire {
namespace {

constexpr int kHelloWaitMs = 10000;    // a new connection must greet within this
constexpr int kDrainTimeoutMs = 5000;  // the device ending a closed handle's transfers

}  // namespace

class Connection::Transfer final : public usbdrv::Transfer {
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

Connection::Connection(int fd, const usbdrv::InterfaceClass& interfaceClass,
                       std::shared_ptr<usbdrv::Instance> instance)
    : fd_(fd), interfaceClass_(interfaceClass), instance_(std::move(instance)) {
  writer_ = std::thread([this] { WriteLoop(); });
  reader_ = std::thread([this] { ReadLoop(); });
}

// The reader thread joins the writer before it ends.
Connection::~Connection() {
  Stop();
  reader_.join();
  close(fd_);
}

void Connection::Stop() { shutdown(fd_, SHUT_RDWR); }

void Connection::Queue(std::vector<uint8_t> frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (writerDone_) return;
  outgoing_.push_back(std::move(frame));
  cv_.notify_all();
}

void Connection::WriteLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return !outgoing_.empty() || closing_; });
    if (outgoing_.empty()) break;
    std::vector<uint8_t> frame = std::move(outgoing_.front());
    outgoing_.pop_front();
    lock.unlock();
    const bool ok = WriteFrame(fd_, frame, kWriteTimeoutMs);
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
void Connection::Completed(Transfer* t, uint32_t status, uint32_t actual) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (t->done) return;  // a second completion of the same transfer
  }
  const bool in = (t->endpoint & 0x80) != 0;
  if (actual > t->length) actual = t->length;
  simwire::Complete m;
  m.id = t->id();
  m.status = status;
  m.actual = actual;
  if (in) m.data.assign(t->buffer.begin(), t->buffer.begin() + actual);
  Queue(Encode(m));
  // Notified under the lock: once the lock is released the reader thread
  // may end the connection, and this thread must not touch it again.
  std::lock_guard<std::mutex> lock(mutex_);
  t->done = true;
  finishedIds_.push_back(t->id());
  pendingCount_--;
  cv_.notify_all();
}

// Frees the transfers that have completed. Only the reader thread calls it,
// and only between calls into the session, so no Cancel can be holding a
// transfer that is freed here.
void Connection::Reap() {
  std::vector<uint32_t> ids;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ids.swap(finishedIds_);
  }
  for (uint32_t id : ids) transfers_.erase(id);
}

bool Connection::HandleControl(const std::vector<uint8_t>& body) {
  Control c;
  if (!Decode(body.data(), body.size(), &c)) return false;
  ControlReply r;
  r.id = c.id;
  r.op = c.op;
  switch (c.op) {
    case kGetDescriptor: {
      std::vector<uint8_t> out(c.room ? c.room : 1);  // never a null buffer
      uint32_t length = c.room;
      r.status = session_->GetDescriptor(c.descriptor, out.data(), &length);
      if (r.status == 0) {
        out.resize(length < c.room ? length : c.room);
        r.data = std::move(out);
      }
      break;
    }
    case kGetConfiguration: {
      uint8_t value = 0;
      r.status = session_->GetConfiguration(&value);
      if (r.status == 0) r.data.push_back(value);
      break;
    }
    case kSetConfiguration:
      r.status = session_->SetConfiguration(c.configuration);
      break;
    case kBindEndpoint:
      r.status = session_->BindEndpoint(c.address);
      break;
    default:
      return false;
  }
  Queue(Encode(r));
  return true;
}

bool Connection::HandleSubmit(const std::vector<uint8_t>& body) {
  simwire::Submit m;
  if (!Decode(body.data(), body.size(), &m)) return false;
  if (transfers_.count(m.id)) return false;  // an id still in use
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pendingCount_ >= kMaxPending) return false;
    pendingCount_++;
  }
  std::unique_ptr<Transfer> t(new Transfer(this, m.id));
  t->endpoint = m.endpoint;
  t->length = m.length;
  if (m.endpoint & 0x80) {
    t->buffer.assign(m.length, 0);
  } else {
    t->buffer = std::move(m.data);
  }
  t->data = t->buffer.data();
  Transfer* raw = t.get();
  transfers_[m.id] = std::move(t);
  session_->Submit(raw);
  return true;
}

bool Connection::HandleCancel(const std::vector<uint8_t>& body) {
  simwire::Cancel m;
  if (!Decode(body.data(), body.size(), &m)) return false;
  auto it = transfers_.find(m.id);
  if (it == transfers_.end()) return true;  // completed already
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (it->second->done) return true;
  }
  session_->Cancel(it->second.get());
  return true;
}

bool Connection::HandleAbort(const std::vector<uint8_t>& body) {
  Abort m;
  if (!Decode(body.data(), body.size(), &m)) return false;
  session_->AbortEndpoint();
  return true;
}

// Greets the peer. True when a session is open and requests may follow.
bool Connection::Greet() {
  pollfd p = {fd_, POLLIN, 0};
  if (poll(&p, 1, kHelloWaitMs) <= 0) return false;
  std::vector<uint8_t> body;
  if (ReadFrame(fd_, &body, kFrameTimeoutMs) != 1) return false;
  Hello hello;
  if (!Decode(body.data(), body.size(), &hello)) return false;
  HelloReply reply;
  reply.interfaceClass = interfaceClass_;
  if (hello.mode == kOpen) session_ = instance_->Open();
  if (session_) reply.interfaceVersion = session_->InterfaceVersion();
  reply.opened = (hello.mode == kProbe || session_) ? 1 : 0;
  Queue(Encode(reply));
  return session_ != nullptr;
}

void Connection::ReadLoop() {
  if (Greet()) {
    std::vector<uint8_t> body;
    for (;;) {
      Reap();
      if (ReadFrame(fd_, &body, kFrameTimeoutMs) != 1) break;
      bool ok = false;
      switch (body[0]) {
        case kControl:
          ok = HandleControl(body);
          break;
        case kSubmit:
          ok = HandleSubmit(body);
          break;
        case kCancel:
          ok = HandleCancel(body);
          break;
        case kAbort:
          ok = HandleAbort(body);
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
void Connection::EndSession() {
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
  const bool drained = cv_.wait_for(lock, std::chrono::milliseconds(kDrainTimeoutMs),
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

}  // namespace simwire
