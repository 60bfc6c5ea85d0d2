#include "sim/device.h"

#include <chrono>
#include <mutex>
#include <utility>

#include "sim/device_core.h"
#include "sim/session.h"

namespace sim {

using detail::Clock;

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
  return std::unique_ptr<usbdrv::Session>(new DeviceSession(core_, serial));
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
  if (detail::Endpoint* e = core_->Find(number)) e->function = std::move(function);
}

InPipe& Device::In(uint8_t number) {
  std::lock_guard<std::mutex> lock(core_->mu);
  if (detail::Endpoint* e = core_->Find(number)) return e->pipe;
  return core_->nullPipe;
}

void Device::QueueReadFault(uint8_t number, uint32_t status, uint32_t delayMs) {
  core_->SendIn(number, nullptr, 0, status, delayMs);
}

void Device::ClearIn(uint8_t number) {
  std::lock_guard<std::mutex> lock(core_->mu);
  if (detail::Endpoint* e = core_->Find(number)) e->in.clear();
  core_->Changed();
}

void Device::SetOpenable(bool openable) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->openable = openable;
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
  detail::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->readFaults.push_back({count, status});
  core_->wake.notify_all();
}

void Device::ZeroReads(uint8_t number, uint32_t count) { FailReads(number, count, 0); }

void Device::FailWrites(uint8_t number, uint32_t count, uint32_t status) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(core_->mu);
  detail::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->writeFaults.push_back({count, true, status, 0});
}

void Device::ShortWrites(uint8_t number, uint32_t count, uint32_t maxBytes) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(core_->mu);
  detail::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->writeFaults.push_back({count, false, 0, maxBytes});
}

void Device::Withhold(uint8_t number, bool withhold) {
  std::lock_guard<std::mutex> lock(core_->mu);
  detail::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->withhold = withhold;
  core_->wake.notify_all();
}

void Device::StallWrites(uint8_t number, bool stall) {
  std::lock_guard<std::mutex> lock(core_->mu);
  detail::Endpoint* e = core_->Find(number);
  if (e == nullptr) return;
  e->stall = stall;
  core_->wake.notify_all();
}

void Device::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(core_->mu);
  for (detail::Endpoint& e : core_->endpoints) {
    e.withhold = silent;
    e.stall = silent;
  }
  core_->wake.notify_all();
}

void Device::ClearFaults() {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->openable = true;
  core_->interfaceVersion = kDriverInterfaceVersion;
  core_->failDescriptor = 0;
  core_->failGetConfiguration = 0;
  core_->failSetConfiguration = 0;
  for (uint32_t& f : core_->failBind) f = 0;
  for (detail::Endpoint& e : core_->endpoints) {
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
  const detail::Endpoint* e = core_->Find(number);
  return e != nullptr ? e->writeLog : std::vector<WriteRecord>();
}

std::vector<uint8_t> Device::WrittenBytes(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  std::vector<uint8_t> out;
  const detail::Endpoint* e = core_->Find(number);
  if (e == nullptr) return out;
  for (const WriteRecord& w : e->writeLog) out.insert(out.end(), w.data.begin(), w.data.end());
  return out;
}

uint32_t Device::ReadsCompleted(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const detail::Endpoint* e = core_->Find(number);
  return e != nullptr ? e->readsCompleted : 0;
}

uint32_t Device::ReadsPending(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const detail::Endpoint* e = core_->Find(number);
  return e != nullptr ? static_cast<uint32_t>(e->reads.size()) : 0;
}

uint32_t Device::WritesPending(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const detail::Endpoint* e = core_->Find(number);
  return e != nullptr ? static_cast<uint32_t>(e->writes.size()) : 0;
}

size_t Device::InQueued(uint8_t number) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const detail::Endpoint* e = core_->Find(number);
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
  for (detail::Endpoint& e : core_->endpoints) {
    e.writeLog.clear();
    e.readsCompleted = 0;
  }
  core_->Changed();
}

void Device::SetRecording(bool on) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->recording = on;
}

}  // namespace sim
