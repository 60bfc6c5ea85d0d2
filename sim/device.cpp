#include "sim/device.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

class SessionImpl;

// A transfer waiting on an endpoint, with the session it was submitted on.
struct Pending {
  SessionImpl* session;
  usbdrv::Transfer* transfer;
};

// One IN transfer sent by the device side.
struct InItem {
  std::vector<uint8_t> data;
  Clock::time_point due;
};

// A run of reads that complete without data.
struct ReadFault {
  uint32_t count;
  uint32_t status;
};

// A run of writes that fail or move fewer bytes.
struct WriteFault {
  uint32_t count;
  bool fail;
  uint32_t status;
  uint32_t maxBytes;
};

// A completion decided under the lock and made after it is released.
struct Completion {
  usbdrv::Transfer* transfer;
  uint32_t status;
  std::vector<uint8_t> data;  // IN data to copy before completing
  uint32_t actual;
};

void Complete(std::vector<Completion>& completions) {
  for (Completion& c : completions) {
    uint32_t actual = c.actual;
    if (!c.data.empty()) {
      actual = std::min<uint32_t>(static_cast<uint32_t>(c.data.size()), c.transfer->length);
      if (actual > 0) std::memcpy(c.transfer->data, c.data.data(), actual);
    }
    c.transfer->Complete(c.status, actual);
  }
  completions.clear();
}

// Sends dropped on the floor: the pipe of an endpoint number the device lacks.
class NullPipe : public InPipe {
 public:
  void Send(const void*, size_t, uint32_t) override {}
};

}  // namespace

// The device's state, shared by the Device, its sessions and its thread.
struct Device::Core {
  class Pipe : public InPipe {
   public:
    Pipe(Core* core, uint8_t number) : core_(core), number_(number) {}
    void Send(const void* data, size_t length, uint32_t delayMs) override {
      core_->SendIn(number_, data, length, delayMs);
    }

   private:
    Core* core_;
    uint8_t number_;
  };

  struct Endpoint {
    Endpoint(Core* core, uint8_t n) : number(n), pipe(core, n) {}
    uint8_t number;
    Pipe pipe;
    std::shared_ptr<Function> function;
    std::deque<Pending> reads;
    std::deque<Pending> writes;
    std::deque<InItem> in;
    std::deque<ReadFault> readFaults;
    std::deque<WriteFault> writeFaults;
    bool withhold = false;
    bool stall = false;
    bool writeRunning = false;  // the function is handling a write
    uint32_t readsCompleted = 0;
    std::vector<WriteRecord> writeLog;
  };

  Core() : endpoints{{this, 3}, {this, 7}} {}

  mutable std::mutex mu;
  std::condition_variable wake;             // the device thread
  mutable std::condition_variable changed;  // WaitUntil
  uint64_t generation = 0;
  bool stop = false;

  std::vector<uint8_t> deviceDescriptor = BuildDeviceDescriptor(kDefaultVendor, kDefaultProduct);
  uint8_t configuration = 0;
  uint16_t interfaceVersion = kDriverInterfaceVersion;

  bool openable = true;
  uint32_t failDriverInfo = 0;
  uint32_t failDescriptor = 0;
  uint32_t failGetConfiguration = 0;
  uint32_t failSetConfiguration = 0;
  uint32_t failBind[4] = {0, 0, 0, 0};  // 0x03, 0x83, 0x07, 0x87

  int openSessions = 0;
  int sessionsOpened = 0;
  std::vector<ControlRecord> controls;

  Endpoint endpoints[2];
  NullPipe nullPipe;

  // --- helpers, called with `mu` held ---
  Endpoint* Find(uint8_t number) {
    for (Endpoint& e : endpoints) {
      if (e.number == number) return &e;
    }
    return nullptr;
  }
  const Endpoint* Find(uint8_t number) const {
    for (const Endpoint& e : endpoints) {
      if (e.number == number) return &e;
    }
    return nullptr;
  }
  static int BindIndex(uint8_t address) {
    switch (address) {
      case 0x03:
        return 0;
      case 0x83:
        return 1;
      case 0x07:
        return 2;
      case 0x87:
        return 3;
      default:
        return -1;
    }
  }
  void Changed() {
    ++generation;
    changed.notify_all();
  }
  void Log(int session, Request request, std::vector<uint8_t> input, uint32_t status) {
    ControlRecord r;
    r.session = session;
    r.request = request;
    r.input = std::move(input);
    r.status = status;
    controls.push_back(std::move(r));
    Changed();
  }

  void SendIn(uint8_t number, const void* data, size_t length, uint32_t delayMs) {
    InItem item;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (length > 0) item.data.assign(bytes, bytes + length);
    item.due = Clock::now() + std::chrono::milliseconds(delayMs);
    std::lock_guard<std::mutex> lock(mu);
    Endpoint* e = Find(number);
    if (e == nullptr) return;
    e->in.push_back(std::move(item));
    wake.notify_all();
    Changed();
  }

  // Removes the pending transfers of `session` (all of them, or only
  // `only`) and turns them into aborted completions.
  void Withdraw(SessionImpl* session, usbdrv::Transfer* only, std::vector<Completion>& out) {
    for (Endpoint& e : endpoints) {
      for (std::deque<Pending>* q : {&e.reads, &e.writes}) {
        for (auto it = q->begin(); it != q->end();) {
          if (it->session == session && (only == nullptr || it->transfer == only)) {
            out.push_back({it->transfer, kStatusAborted, {}, 0});
            it = q->erase(it);
          } else {
            ++it;
          }
        }
      }
    }
    if (!out.empty()) Changed();
  }

  // The device thread: delivers due IN data and read faults, and hands
  // writes to the functions.
  void Run() {
    std::unique_lock<std::mutex> lock(mu);
    std::vector<Completion> completions;
    while (!stop) {
      const Clock::time_point now = Clock::now();
      bool haveDue = false;
      Clock::time_point nextDue{};
      struct WriteJob {
        Endpoint* endpoint;
        Pending pending;
        int session;
        WriteFault fault;
        bool faulted;
        std::shared_ptr<Function> function;
      };
      std::vector<WriteJob> jobs;
      for (Endpoint& e : endpoints) {
        while (!e.reads.empty() && !e.readFaults.empty()) {
          ReadFault& f = e.readFaults.front();
          completions.push_back({e.reads.front().transfer, f.status, {}, 0});
          e.reads.pop_front();
          ++e.readsCompleted;
          if (f.count != kForever && --f.count == 0) e.readFaults.pop_front();
        }
        while (!e.withhold && !e.reads.empty() && !e.in.empty()) {
          if (e.in.front().due > now) {
            if (!haveDue || e.in.front().due < nextDue) nextDue = e.in.front().due;
            haveDue = true;
            break;
          }
          Completion c{e.reads.front().transfer, 0, std::move(e.in.front().data), 0};
          completions.push_back(std::move(c));
          e.reads.pop_front();
          e.in.pop_front();
          ++e.readsCompleted;
        }
        if (!e.stall && !e.writeRunning && !e.writes.empty()) {
          WriteJob job{
              &e,    e.writes.front(), SessionSerial(e.writes.front().session), {0, false, 0, 0},
              false, e.function};
          e.writes.pop_front();
          if (!e.writeFaults.empty()) {
            WriteFault& f = e.writeFaults.front();
            job.fault = f;
            job.faulted = true;
            if (f.count != kForever && --f.count == 0) e.writeFaults.pop_front();
          }
          e.writeRunning = true;
          jobs.push_back(std::move(job));
        }
      }
      if (completions.empty() && jobs.empty()) {
        if (haveDue) {
          wake.wait_until(lock, nextDue);
        } else {
          wake.wait(lock);
        }
        continue;
      }
      if (!completions.empty()) Changed();
      lock.unlock();
      Complete(completions);
      for (WriteJob& job : jobs) {
        usbdrv::Transfer* t = job.pending.transfer;
        WriteRecord record;
        record.session = job.session;
        if (t->length > 0) record.data.assign(t->data, t->data + t->length);
        uint32_t length = t->length;
        if (job.faulted && job.fault.fail) {
          record.status = job.fault.status;
          record.actual = 0;
        } else {
          if (job.faulted) length = std::min(length, job.fault.maxBytes);
          if (job.function) {
            WriteResult result = job.function->OnWrite(t->data, length, job.endpoint->pipe);
            record.status = result.status;
            record.actual = std::min(result.accepted, length);
          } else {
            record.status = 0;
            record.actual = length;
          }
        }
        const uint32_t status = record.status;
        const uint32_t actual = record.actual;
        {
          std::lock_guard<std::mutex> relock(mu);
          job.endpoint->writeLog.push_back(std::move(record));
          job.endpoint->writeRunning = false;
          Changed();
        }
        t->Complete(status, actual);
      }
      lock.lock();
    }
  }

  static int SessionSerial(SessionImpl* session);
};

namespace {

class SessionImpl : public usbdrv::Session {
 public:
  SessionImpl(std::shared_ptr<Device::Core> core, int serial)
      : core_(std::move(core)), serial_(serial) {}

  ~SessionImpl() override {
    std::vector<Completion> completions;
    {
      std::lock_guard<std::mutex> lock(core_->mu);
      --core_->openSessions;
      core_->Withdraw(this, nullptr, completions);
      core_->Changed();
    }
    Complete(completions);
  }

  int serial() const { return serial_; }

  uint32_t DriverInfo(uint8_t info[12]) override {
    std::lock_guard<std::mutex> lock(core_->mu);
    uint32_t status = core_->failDriverInfo;
    if (status == 0) {
      std::memset(info, 0, 12);
      info[0] = static_cast<uint8_t>(core_->interfaceVersion & 0xFF);
      info[1] = static_cast<uint8_t>(core_->interfaceVersion >> 8);
      // Driver version 2.10 and the API version it speaks, 2.0.
      info[4] = 0x10;
      info[5] = 0x02;
      info[8] = 0x00;
      info[9] = 0x02;
    }
    core_->Log(serial_, Request::kDriverInfo, {}, status);
    return status;
  }

  uint32_t GetDescriptor(uint32_t recipient, uint8_t type, uint8_t index, uint16_t language,
                         uint8_t* out, uint32_t* length) override {
    std::vector<uint8_t> input = {static_cast<uint8_t>(recipient & 0xFF),
                                  static_cast<uint8_t>((recipient >> 8) & 0xFF),
                                  static_cast<uint8_t>((recipient >> 16) & 0xFF),
                                  static_cast<uint8_t>(recipient >> 24),
                                  type,
                                  index,
                                  static_cast<uint8_t>(language & 0xFF),
                                  static_cast<uint8_t>(language >> 8)};
    std::lock_guard<std::mutex> lock(core_->mu);
    const uint32_t room = length != nullptr ? *length : 0;
    uint32_t status = core_->failDescriptor;
    std::vector<uint8_t> descriptor;
    if (status == 0) {
      if (recipient != 0 || index != 0) {
        status = kStatusFailed;
      } else if (type == kDescriptorTypeDevice) {
        descriptor = core_->deviceDescriptor;
      } else if (type == kDescriptorTypeConfiguration) {
        descriptor = BuildConfigurationDescriptor();
      } else {
        status = kStatusFailed;  // the device stalls the request
      }
    }
    uint32_t delivered = 0;
    if (status == 0) {
      delivered = std::min<uint32_t>(room, static_cast<uint32_t>(descriptor.size()));
      if (delivered > 0 && out != nullptr) std::memcpy(out, descriptor.data(), delivered);
      if (out == nullptr) delivered = 0;
    }
    if (length != nullptr) *length = delivered;
    core_->Log(serial_, Request::kGetDescriptor, std::move(input), status);
    return status;
  }

  uint32_t GetConfiguration(uint8_t* value) override {
    std::lock_guard<std::mutex> lock(core_->mu);
    uint32_t status = core_->failGetConfiguration;
    if (status == 0 && value == nullptr) status = kStatusInvalidParameter;
    if (status == 0) *value = core_->configuration;
    core_->Log(serial_, Request::kGetConfiguration, {}, status);
    return status;
  }

  uint32_t SetConfiguration(const uint8_t* record, uint32_t length) override {
    std::vector<uint8_t> input;
    if (record != nullptr && length > 0) input.assign(record, record + length);
    std::lock_guard<std::mutex> lock(core_->mu);
    uint32_t status = core_->failSetConfiguration;
    if (status == 0) status = Check(input);
    if (status == 0) core_->configuration = kConfigurationValue;
    core_->Log(serial_, Request::kSetConfiguration, std::move(input), status);
    return status;
  }

  uint32_t BindEndpoint(uint8_t address) override {
    std::lock_guard<std::mutex> lock(core_->mu);
    const int index = Device::Core::BindIndex(address);
    uint32_t status = 0;
    if (index < 0) {
      status = kStatusInvalidParameter;
    } else if (core_->failBind[index] != 0) {
      status = core_->failBind[index];
    } else if (bound_ || core_->configuration == 0) {
      status = kStatusFailed;
    } else {
      bound_ = true;
      address_ = address;
    }
    core_->Log(serial_, Request::kBindEndpoint, {address}, status);
    return status;
  }

  uint32_t AbortEndpoint() override {
    std::vector<Completion> completions;
    uint32_t status = 0;
    {
      std::lock_guard<std::mutex> lock(core_->mu);
      if (!bound_) {
        status = kStatusFailed;
      } else {
        core_->Withdraw(this, nullptr, completions);
      }
      core_->Log(serial_, Request::kAbortEndpoint, {}, status);
    }
    Complete(completions);
    return status;
  }

  void Submit(usbdrv::Transfer* transfer) override {
    uint32_t status = 0;
    {
      std::lock_guard<std::mutex> lock(core_->mu);
      if (!bound_) {
        status = kStatusFailed;
      } else if (transfer->endpoint != address_ ||
                 (transfer->length > 0 && transfer->data == nullptr)) {
        status = kStatusInvalidParameter;
      } else {
        Device::Core::Endpoint* e = core_->Find(address_ & 0x7F);
        if ((address_ & 0x80) != 0) {
          e->reads.push_back({this, transfer});
        } else {
          e->writes.push_back({this, transfer});
        }
        core_->wake.notify_all();
        core_->Changed();
        return;
      }
    }
    transfer->Complete(status, 0);
  }

  void Cancel(usbdrv::Transfer* transfer) override {
    std::vector<Completion> completions;
    {
      std::lock_guard<std::mutex> lock(core_->mu);
      core_->Withdraw(this, transfer, completions);
    }
    Complete(completions);
  }

 private:
  // A set configuration record the handset accepts: 260 bytes, the first
  // configuration, one interface entry for interface 0, alternate setting 0,
  // with a maximum transfer size.
  static uint32_t Check(const std::vector<uint8_t>& r) {
    if (r.size() != 260) return kStatusInvalidParameter;
    auto word = [&r](size_t at) { return static_cast<uint16_t>(r[at] | (r[at + 1] << 8)); };
    const uint32_t maxTransfer =
        r[8] | (r[9] << 8) | (r[10] << 16) | (static_cast<uint32_t>(r[11]) << 24);
    if (word(0) != 0 || word(2) != 1) return kStatusInvalidParameter;
    if (word(4) != 0 || word(6) != 0 || maxTransfer == 0) return kStatusInvalidParameter;
    return 0;
  }

  std::shared_ptr<Device::Core> core_;
  const int serial_;
  // Guarded by core_->mu.
  bool bound_ = false;
  uint8_t address_ = 0;
};

}  // namespace

int Device::Core::SessionSerial(SessionImpl* session) { return session->serial(); }

// --- Device ---------------------------------------------------------------

Device::Device() : Device(kDefaultVendor, kDefaultProduct, 0) {}

Device::Device(uint16_t vendor, uint16_t product, uint8_t configurationValue)
    : core_(std::make_shared<Core>()) {
  core_->deviceDescriptor = BuildDeviceDescriptor(vendor, product);
  core_->configuration = configurationValue;
  // The thread holds the core, so that it can outlive a Device that is
  // destroyed on the thread itself (from inside a completion).
  std::shared_ptr<Core> core = core_;
  thread_ = std::thread([core] { core->Run(); });
}

Device::~Device() {
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    core_->stop = true;
    core_->wake.notify_all();
  }
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

std::unique_ptr<usbdrv::Session> Device::Open() {
  std::lock_guard<std::mutex> lock(core_->mu);
  if (!core_->openable) return nullptr;
  ++core_->openSessions;
  const int serial = ++core_->sessionsOpened;
  core_->Changed();
  return std::unique_ptr<usbdrv::Session>(new SessionImpl(core_, serial));
}

void Device::SetIds(uint16_t vendor, uint16_t product) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->deviceDescriptor = BuildDeviceDescriptor(vendor, product);
}

void Device::SetDeviceDescriptor(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->deviceDescriptor = bytes;
}

std::vector<uint8_t> Device::DeviceDescriptor() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->deviceDescriptor;
}

void Device::SetConfigurationValue(uint8_t value) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->configuration = value;
}

uint8_t Device::ConfigurationValue() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->configuration;
}

void Device::SetInterfaceVersion(uint16_t version) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->interfaceVersion = version;
}

void Device::SetFunction(uint8_t number, std::shared_ptr<Function> function) {
  std::lock_guard<std::mutex> lock(core_->mu);
  if (Core::Endpoint* e = core_->Find(number)) e->function = std::move(function);
}

InPipe& Device::In(uint8_t number) {
  std::lock_guard<std::mutex> lock(core_->mu);
  if (Core::Endpoint* e = core_->Find(number)) return e->pipe;
  return core_->nullPipe;
}

void Device::ClearIn(uint8_t number) {
  std::lock_guard<std::mutex> lock(core_->mu);
  if (Core::Endpoint* e = core_->Find(number)) e->in.clear();
  core_->Changed();
}

void Device::SetOpenable(bool openable) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->openable = openable;
}

void Device::FailDriverInfo(uint32_t status) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->failDriverInfo = status;
}

void Device::FailDescriptor(uint32_t status) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->failDescriptor = status;
}

void Device::FailGetConfiguration(uint32_t status) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->failGetConfiguration = status;
}

void Device::FailSetConfiguration(uint32_t status) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->failSetConfiguration = status;
}

void Device::FailBind(uint8_t address, uint32_t status) {
  std::lock_guard<std::mutex> lock(core_->mu);
  const int index = Core::BindIndex(address);
  if (index >= 0) core_->failBind[index] = status;
}

void Device::FailReads(uint8_t number, uint32_t count, uint32_t status) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(core_->mu);
  Core::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->readFaults.push_back({count, status});
  core_->wake.notify_all();
}

void Device::ZeroReads(uint8_t number, uint32_t count) { FailReads(number, count, 0); }

void Device::FailWrites(uint8_t number, uint32_t count, uint32_t status) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(core_->mu);
  Core::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->writeFaults.push_back({count, true, status, 0});
}

void Device::ShortWrites(uint8_t number, uint32_t count, uint32_t maxBytes) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(core_->mu);
  Core::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->writeFaults.push_back({count, false, 0, maxBytes});
}

void Device::Withhold(uint8_t number, bool withhold) {
  std::lock_guard<std::mutex> lock(core_->mu);
  Core::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->withhold = withhold;
  core_->wake.notify_all();
}

void Device::StallWrites(uint8_t number, bool stall) {
  std::lock_guard<std::mutex> lock(core_->mu);
  Core::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->stall = stall;
  core_->wake.notify_all();
}

void Device::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(core_->mu);
  for (Core::Endpoint& e : core_->endpoints) {
    e.withhold = silent;
    e.stall = silent;
  }
  core_->wake.notify_all();
}

void Device::ClearFaults() {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->openable = true;
  core_->interfaceVersion = kDriverInterfaceVersion;
  core_->failDriverInfo = 0;
  core_->failDescriptor = 0;
  core_->failGetConfiguration = 0;
  core_->failSetConfiguration = 0;
  for (uint32_t& f : core_->failBind) f = 0;
  for (Core::Endpoint& e : core_->endpoints) {
    e.readFaults.clear();
    e.writeFaults.clear();
    e.withhold = false;
    e.stall = false;
  }
  core_->wake.notify_all();
}

int Device::OpenSessions() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->openSessions;
}

int Device::SessionsOpened() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->sessionsOpened;
}

std::vector<ControlRecord> Device::Controls() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->controls;
}

std::vector<std::vector<uint8_t>> Device::SetConfigurationRequests() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  std::vector<std::vector<uint8_t>> out;
  for (const ControlRecord& r : core_->controls) {
    if (r.request == Request::kSetConfiguration) out.push_back(r.input);
  }
  return out;
}

std::vector<WriteRecord> Device::Writes(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const Core::Endpoint* e = core_->Find(number);
  return e != nullptr ? e->writeLog : std::vector<WriteRecord>();
}

std::vector<uint8_t> Device::WrittenBytes(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  std::vector<uint8_t> out;
  const Core::Endpoint* e = core_->Find(number);
  if (e == nullptr) return out;
  for (const WriteRecord& w : e->writeLog) out.insert(out.end(), w.data.begin(), w.data.end());
  return out;
}

uint32_t Device::ReadsCompleted(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const Core::Endpoint* e = core_->Find(number);
  return e != nullptr ? e->readsCompleted : 0;
}

uint32_t Device::ReadsPending(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const Core::Endpoint* e = core_->Find(number);
  return e != nullptr ? static_cast<uint32_t>(e->reads.size()) : 0;
}

uint32_t Device::WritesPending(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const Core::Endpoint* e = core_->Find(number);
  return e != nullptr ? static_cast<uint32_t>(e->writes.size()) : 0;
}

size_t Device::InQueued(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const Core::Endpoint* e = core_->Find(number);
  return e != nullptr ? e->in.size() : 0;
}

bool Device::WaitUntil(const std::function<bool()>& condition, uint32_t timeoutMs) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard<std::mutex> lock(core_->mu);
      seen = core_->generation;
    }
    if (condition()) return true;
    std::unique_lock<std::mutex> lock(core_->mu);
    if (!core_->changed.wait_until(lock, deadline, [&] { return core_->generation != seen; })) {
      lock.unlock();
      return condition();
    }
  }
}

void Device::ClearLogs() {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->controls.clear();
  for (Core::Endpoint& e : core_->endpoints) {
    e.writeLog.clear();
    e.readsCompleted = 0;
  }
  core_->Changed();
}

}  // namespace sim
