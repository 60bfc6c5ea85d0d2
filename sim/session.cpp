#include "sim/session.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "sim/device_core.h"
#include "usbdrv/control.h"

namespace sim {

DeviceSession::DeviceSession(std::shared_ptr<Device::Core> core, int serial)
    : core_(std::move(core)), serial_(serial) {}

DeviceSession::~DeviceSession() {
  std::vector<detail::Completion> completions;
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    --core_->openSessions;
    core_->Withdraw(this, nullptr, completions);
    core_->Changed();
  }
  detail::CompleteAll(completions);
}

uint16_t DeviceSession::InterfaceVersion() {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->interfaceVersion;
}

uint32_t DeviceSession::GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                                      uint32_t* length) {
  const uint32_t recipient = request.recipient;
  const uint8_t type = request.type;
  const uint8_t index = request.index;
  std::vector<uint8_t> input = {static_cast<uint8_t>(recipient & 0xFF),
                                static_cast<uint8_t>((recipient >> 8) & 0xFF),
                                static_cast<uint8_t>((recipient >> 16) & 0xFF),
                                static_cast<uint8_t>(recipient >> 24),
                                type,
                                index,
                                static_cast<uint8_t>(request.language & 0xFF),
                                static_cast<uint8_t>(request.language >> 8)};
  std::lock_guard<std::mutex> lock(core_->mu);
  const uint32_t room = (length != nullptr && out != nullptr) ? *length : 0;
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
    if (delivered > 0) std::memcpy(out, descriptor.data(), delivered);
  }
  if (length != nullptr) *length = delivered;
  core_->Log(serial_, Request::kGetDescriptor, std::move(input), status);
  return status;
}

uint32_t DeviceSession::GetConfiguration(uint8_t* value) {
  std::lock_guard<std::mutex> lock(core_->mu);
  uint32_t status = core_->failGetConfiguration;
  if (status == 0 && value == nullptr) status = kStatusInvalidParameter;
  if (status == 0) *value = core_->configuration;
  core_->Log(serial_, Request::kGetConfiguration, {}, status);
  return status;
}

uint32_t DeviceSession::SetConfiguration(const usbdrv::ConfigurationRequest& request) {
  // Logged as the driver's record, as a bus analyser would show the request.
  std::vector<uint8_t> input = usbdrv::EncodeConfigurationRecord(request);
  std::lock_guard<std::mutex> lock(core_->mu);
  uint32_t status = core_->failSetConfiguration;
  if (status == 0) status = CheckConfiguration(request);
  if (status == 0) core_->configuration = kConfigurationValue;
  core_->Log(serial_, Request::kSetConfiguration, std::move(input), status);
  return status;
}

// The handset has one configuration with one interface: the request must
// select configuration index 0 with exactly one entry, for interface 0,
// alternate setting 0, with a maximum transfer size.
uint32_t DeviceSession::CheckConfiguration(const usbdrv::ConfigurationRequest& request) {
  if (request.configurationIndex != 0 || request.interfaces.size() != 1) {
    return kStatusInvalidParameter;
  }
  const usbdrv::InterfaceSetting& entry = request.interfaces[0];
  if (entry.interfaceNumber != 0 || entry.alternateSetting != 0 ||
      entry.maximumTransferSize == 0) {
    return kStatusInvalidParameter;
  }
  return 0;
}

uint32_t DeviceSession::BindEndpoint(uint8_t address) {
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

void DeviceSession::AbortEndpoint() {
  std::vector<detail::Completion> completions;
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
  detail::CompleteAll(completions);
}

void DeviceSession::Submit(usbdrv::Transfer* transfer) {
  uint32_t status;
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    if (!bound_) {
      status = kStatusFailed;
    } else if (transfer->endpoint != address_ ||
               (transfer->length > 0 && transfer->data == nullptr)) {
      status = kStatusInvalidParameter;
    } else {
      detail::Endpoint* e = core_->Find(address_ & 0x7F);
      std::deque<detail::Pending>& queue = (address_ & 0x80) != 0 ? e->reads : e->writes;
      queue.push_back({this, serial_, transfer});
      core_->wake.notify_all();
      core_->Changed();
      return;
    }
  }
  transfer->Complete(status, 0);
}

void DeviceSession::Cancel(usbdrv::Transfer* transfer) {
  std::vector<detail::Completion> completions;
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    core_->Withdraw(this, transfer, completions);
  }
  detail::CompleteAll(completions);
}

}  // namespace sim
