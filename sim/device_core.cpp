#include "sim/device_core.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim {

namespace detail {

void CompleteAll(std::vector<Completion>& completions) {
  for (Completion& c : completions) {
    const uint32_t actual =
        std::min<uint32_t>(static_cast<uint32_t>(c.data.size()), c.transfer->length);
    if (actual > 0) std::memcpy(c.transfer->data, c.data.data(), actual);
    c.transfer->Complete(c.status, actual);
  }
  completions.clear();
}

}  // namespace detail

using detail::Clock;
using detail::Completion;
using detail::Endpoint;

Device::Core::Core()
    : deviceDescriptor(BuildDeviceDescriptor(kDefaultVendor, kDefaultProduct)),
      endpoints{{3, pipe3}, {7, pipe7}} {}

Endpoint* Device::Core::Find(uint8_t number) {
  for (Endpoint& e : endpoints) {
    if (e.number == number) return &e;
  }
  return nullptr;
}

const Endpoint* Device::Core::Find(uint8_t number) const {
  for (const Endpoint& e : endpoints) {
    if (e.number == number) return &e;
  }
  return nullptr;
}

int Device::Core::BindIndex(uint8_t address) {
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

void Device::Core::Changed() {
  ++generation;
  changed.notify_all();
}

void Device::Core::Log(int session, Request request, std::vector<uint8_t> input, uint32_t status) {
  if (!recording) {
    Changed();
    return;
  }
  ControlRecord r;
  r.session = session;
  r.request = request;
  r.input = std::move(input);
  r.status = status;
  controls.push_back(std::move(r));
  Changed();
}

void Device::Core::SendIn(uint8_t number, const void* data, size_t length, uint32_t status,
                          uint32_t delayMs) {
  detail::InItem item;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (length > 0 && bytes != nullptr) item.data.assign(bytes, bytes + length);
  item.status = status;
  item.due = Clock::now() + std::chrono::milliseconds(delayMs);
  std::lock_guard<std::mutex> lock(mu);
  Endpoint* e = Find(number);
  if (e == nullptr) return;
  e->in.push_back(std::move(item));
  wake.notify_all();
  Changed();
}

void Device::Core::Withdraw(const usbdrv::Session* session, usbdrv::Transfer* only,
                            std::vector<Completion>& out) {
  const size_t before = out.size();
  for (Endpoint& e : endpoints) {
    for (std::deque<detail::Pending>* q : {&e.reads, &e.writes}) {
      for (auto it = q->begin(); it != q->end();) {
        if (it->session == session && (only == nullptr || it->transfer == only)) {
          out.push_back({it->transfer, kStatusAborted, {}});
          it = q->erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  if (out.size() != before) Changed();
}

namespace {

// A write taken off its queue and handed to the function outside the lock.
struct WriteJob {
  Endpoint* endpoint;
  detail::Pending pending;
  bool faulted;
  detail::WriteFault fault;
  std::shared_ptr<Function> function;
};

// Lets the function handle one write and works out how it completes.
WriteRecord RunWrite(WriteJob& job) {
  usbdrv::Transfer* t = job.pending.transfer;
  WriteRecord record;
  record.session = job.pending.serial;
  if (t->length > 0) record.data.assign(t->data, t->data + t->length);
  if (job.faulted && job.fault.fail) {
    record.status = job.fault.status;
    record.actual = 0;
    return record;
  }
  uint32_t length = t->length;
  if (job.faulted) length = std::min(length, job.fault.maxBytes);
  if (job.function) {
    const WriteResult result = job.function->OnWrite(t->data, length, job.endpoint->pipe);
    record.status = result.status;
    record.actual = std::min(result.accepted, length);
  } else {
    record.status = 0;
    record.actual = length;
  }
  return record;
}

}  // namespace

void Device::Core::Run() {
  std::unique_lock<std::mutex> lock(mu);
  std::vector<Completion> completions;
  std::vector<WriteJob> jobs;
  while (!stop) {
    const Clock::time_point now = Clock::now();
    bool haveDue = false;
    Clock::time_point nextDue{};
    for (Endpoint& e : endpoints) {
      // Read faults come first, whatever IN data is queued.
      while (!e.reads.empty() && !e.readFaults.empty()) {
        completions.push_back({e.reads.front().transfer, e.readFaults.front().status, {}});
        e.reads.pop_front();
        ++e.readsCompleted;
        detail::ConsumeOne(e.readFaults);
      }
      // Then the IN transfers, each to a read of its own, in queue order and
      // none before its due time.
      while (!e.withhold && !e.reads.empty() && !e.in.empty()) {
        detail::InItem& item = e.in.front();
        if (item.due > now) {
          if (!haveDue || item.due < nextDue) nextDue = item.due;
          haveDue = true;
          break;
        }
        completions.push_back({e.reads.front().transfer, item.status, std::move(item.data)});
        e.reads.pop_front();
        e.in.pop_front();
        ++e.readsCompleted;
      }
      // One write at a time per endpoint.
      if (!e.stall && !e.writeRunning && !e.writes.empty()) {
        WriteJob job{&e, e.writes.front(), false, {0, false, 0, 0}, e.function};
        e.writes.pop_front();
        if (!e.writeFaults.empty()) {
          job.faulted = true;
          job.fault = e.writeFaults.front();
          detail::ConsumeOne(e.writeFaults);
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
    detail::CompleteAll(completions);
    for (WriteJob& job : jobs) {
      WriteRecord record = RunWrite(job);
      const uint32_t status = record.status;
      const uint32_t actual = record.actual;
      {
        std::lock_guard<std::mutex> relock(mu);
        if (recording) job.endpoint->writeLog.push_back(std::move(record));
        job.endpoint->writeRunning = false;
        Changed();
      }
      job.pending.transfer->Complete(status, actual);
    }
    jobs.clear();
    lock.lock();
  }
}

}  // namespace sim
