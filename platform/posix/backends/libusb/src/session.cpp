#include "session.h"

#include <libusb.h>
#include <usbdrv/requests.h>

#include <algorithm>

#include "status.h"

namespace libusb_backend {
namespace {

// Time limit of a control transfer on the bus.
constexpr unsigned kControlTimeoutMs = 5000;

// The device descriptor as the device sends it (little-endian).
uint32_t EncodeDeviceDescriptor(const libusb_device_descriptor& d, uint8_t* out,
                                uint32_t* length) {
  const uint8_t bytes[LIBUSB_DT_DEVICE_SIZE] = {
      d.bLength,
      d.bDescriptorType,
      static_cast<uint8_t>(d.bcdUSB),
      static_cast<uint8_t>(d.bcdUSB >> 8),
      d.bDeviceClass,
      d.bDeviceSubClass,
      d.bDeviceProtocol,
      d.bMaxPacketSize0,
      static_cast<uint8_t>(d.idVendor),
      static_cast<uint8_t>(d.idVendor >> 8),
      static_cast<uint8_t>(d.idProduct),
      static_cast<uint8_t>(d.idProduct >> 8),
      static_cast<uint8_t>(d.bcdDevice),
      static_cast<uint8_t>(d.bcdDevice >> 8),
      d.iManufacturer,
      d.iProduct,
      d.iSerialNumber,
      d.bNumConfigurations,
  };
  const uint32_t delivered = std::min<uint32_t>(*length, sizeof bytes);
  std::copy(bytes, bytes + delivered, out);
  *length = delivered;
  return 0;
}

bool HasEndpoint(const libusb_config_descriptor& configuration, uint8_t address) {
  for (int i = 0; i < configuration.bNumInterfaces; i++) {
    const libusb_interface& interface = configuration.interface[i];
    for (int a = 0; a < interface.num_altsetting; a++) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      for (int e = 0; e < setting.bNumEndpoints; e++) {
        if (setting.endpoint[e].bEndpointAddress == address) return true;
      }
    }
  }
  return false;
}

// Brackets a call into libusb on the device's handle.
class Call {
 public:
  explicit Call(DeviceHandle& device) : device_(device), handle_(device.Enter()) {}
  ~Call() {
    if (handle_ != nullptr) device_.Leave();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  libusb_device_handle* handle() const { return handle_; }

 private:
  DeviceHandle& device_;
  libusb_device_handle* const handle_;
};

const uint32_t kNotConnected = USBDRV_ERROR_DEVICE_NOT_CONNECTED;

}  // namespace

uint32_t Session::GetDescriptor(const usbdrv::DescriptorRequest& request, uint8_t* out,
                                uint32_t* length) {
  const uint32_t room = *length;
  *length = 0;
  if (request.recipient > LIBUSB_RECIPIENT_OTHER) return USBDRV_STATUS_INVALID_PARAMETER;
  Call call(*device_);
  if (call.handle() == nullptr) return kNotConnected;
  if (request.recipient == LIBUSB_RECIPIENT_DEVICE && request.type == LIBUSB_DT_DEVICE &&
      request.index == 0) {
    // The descriptor libusb read when it found the device.
    libusb_device_descriptor descriptor;
    const int read =
        libusb_get_device_descriptor(libusb_get_device(call.handle()), &descriptor);
    if (read != LIBUSB_SUCCESS) return ErrorStatus(read);
    *length = room;
    return EncodeDeviceDescriptor(descriptor, out, length);
  }
  const int got = device_->ControlTransfer(
      call.handle(),
      static_cast<uint8_t>(LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_STANDARD | request.recipient),
      LIBUSB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>((request.type << 8) | request.index),
      request.language, out, static_cast<uint16_t>(std::min<uint32_t>(room, 0xFFFF)),
      kControlTimeoutMs);
  if (got < 0) return ErrorStatus(got);
  *length = static_cast<uint32_t>(got);
  return 0;
}

uint32_t Session::GetConfiguration(uint8_t* value) {
  Call call(*device_);
  if (call.handle() == nullptr) return kNotConnected;
  int configuration = 0;
  const int got = libusb_get_configuration(call.handle(), &configuration);
  if (got != LIBUSB_SUCCESS) return ErrorStatus(got);
  *value = static_cast<uint8_t>(configuration);
  return 0;
}

uint32_t Session::SetConfiguration(const usbdrv::ConfigurationRequest& request) {
  int value;
  {
    Call call(*device_);
    if (call.handle() == nullptr) return kNotConnected;
    // The request names the configuration by its index; the device selects
    // it by its bConfigurationValue.
    if (request.configurationIndex > 0xFF) return USBDRV_STATUS_INVALID_PARAMETER;
    libusb_config_descriptor* configuration = nullptr;
    const int got = libusb_get_config_descriptor(libusb_get_device(call.handle()),
                                                 static_cast<uint8_t>(request.configurationIndex),
                                                 &configuration);
    if (got == LIBUSB_ERROR_NOT_FOUND) return USBDRV_STATUS_INVALID_PARAMETER;
    if (got != LIBUSB_SUCCESS) return ErrorStatus(got);
    value = configuration->bConfigurationValue;
    libusb_free_config_descriptor(configuration);
  }
  const uint32_t status = device_->SetConfiguration(value);
  if (status != 0) return status;
  // Interface 0, the one claimed, may be asked for in another setting.
  for (const usbdrv::InterfaceSetting& setting : request.interfaces) {
    if (setting.interfaceNumber != 0 || setting.alternateSetting == 0) continue;
    Call call(*device_);
    if (call.handle() == nullptr) return kNotConnected;
    const int set = libusb_set_interface_alt_setting(call.handle(), 0, setting.alternateSetting);
    if (set != LIBUSB_SUCCESS) return ErrorStatus(set);
  }
  return 0;
}

uint32_t Session::BindEndpoint(uint8_t address) {
  Call call(*device_);
  if (call.handle() == nullptr) return kNotConnected;
  libusb_config_descriptor* configuration = nullptr;
  const int got =
      libusb_get_active_config_descriptor(libusb_get_device(call.handle()), &configuration);
  // An unconfigured device has no endpoints to bind.
  if (got == LIBUSB_ERROR_NOT_FOUND) return USBDRV_STATUS_FAILED;
  if (got != LIBUSB_SUCCESS) return ErrorStatus(got);
  const bool found = HasEndpoint(*configuration, address);
  libusb_free_config_descriptor(configuration);
  return found ? 0 : USBDRV_STATUS_INVALID_PARAMETER;
}

void Session::AbortEndpoint() { device_->Abort(this); }

void Session::Submit(usbdrv::Transfer* transfer) { device_->Submit(this, transfer); }

void Session::Cancel(usbdrv::Transfer* transfer) { device_->Cancel(transfer); }

}  // namespace libusb_backend
