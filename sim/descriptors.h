// The USB descriptors of the simulated handset.
#ifndef VELKOR_SIM_DESCRIPTORS_H
#define VELKOR_SIM_DESCRIPTORS_H

#include <cstdint>
#include <vector>

#include "sim/identity.h"
#include "usbdrv/requests.h"

namespace sim {

constexpr uint8_t kDescriptorTypeDevice = USBDRV_DESCRIPTOR_TYPE_DEVICE;
constexpr uint8_t kDescriptorTypeConfiguration = USBDRV_DESCRIPTOR_TYPE_CONFIGURATION;

// bConfigurationValue of the handset's only configuration.
constexpr uint8_t kConfigurationValue = 1;
// Bulk packet size of the handset's endpoints (full speed).
constexpr uint16_t kBulkPacketSize = 64;

// The 18-byte standard device descriptor: USB 1.1, vendor-specific class,
// 64-byte control endpoint, one configuration.
std::vector<uint8_t> BuildDeviceDescriptor(uint16_t vendor, uint16_t product);

// The configuration descriptor with its interface and the four bulk
// endpoints 0x03, 0x83, 0x07 and 0x87 (46 bytes).
std::vector<uint8_t> BuildConfigurationDescriptor();

}  // namespace sim

#endif
