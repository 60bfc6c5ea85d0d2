#include "sim/descriptors.h"

namespace sim {

namespace {

void PutWord(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutBulkEndpoint(std::vector<uint8_t>& out, uint8_t address) {
  out.push_back(7);  // bLength
  out.push_back(5);  // bDescriptorType: endpoint
  out.push_back(address);
  out.push_back(0x02);  // bmAttributes: bulk
  PutWord(out, kBulkPacketSize);
  out.push_back(0);  // bInterval
}

}  // namespace

std::vector<uint8_t> BuildDeviceDescriptor(uint16_t vendor, uint16_t product) {
  std::vector<uint8_t> d;
  d.push_back(18);                     // bLength
  d.push_back(kDescriptorTypeDevice);  // bDescriptorType
  PutWord(d, 0x0110);                  // bcdUSB
  d.push_back(0xFF);                   // bDeviceClass: vendor-specific
  d.push_back(0x00);                   // bDeviceSubClass
  d.push_back(0x00);                   // bDeviceProtocol
  d.push_back(64);                     // bMaxPacketSize0
  PutWord(d, vendor);                  // idVendor
  PutWord(d, product);                 // idProduct
  PutWord(d, 0x0100);                  // bcdDevice
  d.push_back(1);                      // iManufacturer
  d.push_back(2);                      // iProduct
  d.push_back(0);                      // iSerialNumber
  d.push_back(1);                      // bNumConfigurations
  return d;
}

std::vector<uint8_t> BuildConfigurationDescriptor() {
  std::vector<uint8_t> d;
  d.push_back(9);                             // bLength
  d.push_back(kDescriptorTypeConfiguration);  // bDescriptorType
  PutWord(d, 9 + 9 + 4 * 7);                  // wTotalLength
  d.push_back(1);                             // bNumInterfaces
  d.push_back(kConfigurationValue);           // bConfigurationValue
  d.push_back(0);                             // iConfiguration
  d.push_back(0x80);                          // bmAttributes: bus powered
  d.push_back(50);                            // bMaxPower: 100 mA
  // Interface 0, alternate setting 0, four endpoints, vendor-specific.
  const uint8_t interface[9] = {9, 4, 0, 0, 4, 0xFF, 0x00, 0x00, 0};
  d.insert(d.end(), interface, interface + 9);
  PutBulkEndpoint(d, 0x03);
  PutBulkEndpoint(d, 0x83);
  PutBulkEndpoint(d, 0x07);
  PutBulkEndpoint(d, 0x87);
  return d;
}

}  // namespace sim
