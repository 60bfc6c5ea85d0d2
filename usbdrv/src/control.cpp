#include "usbdrv/control.h"

#include <cstring>

namespace usbdrv {
namespace {

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Dword(const uint8_t* p) {
  return static_cast<uint32_t>(Word(p)) | (static_cast<uint32_t>(Word(p + 2)) << 16);
}

void PutWord(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutDword(uint8_t* p, uint32_t v) {
  PutWord(p, static_cast<uint16_t>(v));
  PutWord(p + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace

bool operator==(const InterfaceClass& a, const InterfaceClass& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

uint32_t ValidateControl(uint32_t code, const void* in, uint32_t inSize, const void* out,
                         uint32_t outSize) {
  switch (code) {
    case USBDRV_REQUEST_DRIVER_INFO:
      if (out == nullptr) return USBDRV_ERROR_INVALID_PARAMETER;
      return outSize < USBDRV_DRIVER_INFO_SIZE ? USBDRV_ERROR_INSUFFICIENT_BUFFER : 0;
    case USBDRV_REQUEST_GET_DESCRIPTOR:
      if (in == nullptr || inSize < USBDRV_DESCRIPTOR_REQUEST_SIZE) {
        return USBDRV_ERROR_INVALID_PARAMETER;
      }
      return out == nullptr || outSize == 0 ? USBDRV_ERROR_INVALID_PARAMETER : 0;
    case USBDRV_REQUEST_GET_CONFIGURATION:
      if (out == nullptr) return USBDRV_ERROR_INVALID_PARAMETER;
      return outSize < 1 ? USBDRV_ERROR_INSUFFICIENT_BUFFER : 0;
    case USBDRV_REQUEST_SET_CONFIGURATION: {
      ConfigurationRequest request;
      return DecodeConfigurationRecord(in, inSize, &request) ? 0 : USBDRV_ERROR_INVALID_PARAMETER;
    }
    case USBDRV_REQUEST_BIND_ENDPOINT:
      return in == nullptr || inSize < 1 ? USBDRV_ERROR_INVALID_PARAMETER : 0;
    case USBDRV_REQUEST_ABORT_ENDPOINT:
      return 0;
    default:
      return USBDRV_ERROR_INVALID_FUNCTION;
  }
}

bool DecodeConfigurationRecord(const void* record, uint32_t size, ConfigurationRequest* request) {
  if (record == nullptr || size < USBDRV_CONFIGURATION_RECORD_SIZE) return false;
  const uint8_t* r = static_cast<const uint8_t*>(record);
  const uint16_t count = Word(r + 2);
  if (count > USBDRV_MAX_INTERFACE_ENTRIES) return false;
  request->configurationIndex = Word(r);
  request->interfaces.clear();
  for (uint16_t i = 0; i < count; i++) {
    const uint8_t* entry = r + 4 + i * USBDRV_INTERFACE_ENTRY_SIZE;
    request->interfaces.push_back({Word(entry), Word(entry + 2), Dword(entry + 4)});
  }
  return true;
}

std::vector<uint8_t> EncodeConfigurationRecord(const ConfigurationRequest& request) {
  std::vector<uint8_t> record(USBDRV_CONFIGURATION_RECORD_SIZE, 0);
  size_t count = request.interfaces.size();
  if (count > USBDRV_MAX_INTERFACE_ENTRIES) count = USBDRV_MAX_INTERFACE_ENTRIES;
  PutWord(&record[0], request.configurationIndex);
  PutWord(&record[2], static_cast<uint16_t>(count));
  for (size_t i = 0; i < count; i++) {
    uint8_t* entry = &record[4 + i * USBDRV_INTERFACE_ENTRY_SIZE];
    PutWord(entry, request.interfaces[i].interfaceNumber);
    PutWord(entry + 2, request.interfaces[i].alternateSetting);
    PutDword(entry + 4, request.interfaces[i].maximumTransferSize);
  }
  return record;
}

bool DecodeDescriptorRecord(const void* record, uint32_t size, DescriptorRequest* request) {
  if (record == nullptr || size < USBDRV_DESCRIPTOR_REQUEST_SIZE) return false;
  const uint8_t* r = static_cast<const uint8_t*>(record);
  request->recipient = Dword(r);
  request->type = r[4];
  request->index = r[5];
  request->language = Word(r + 6);
  return true;
}

void BuildDriverInfo(uint16_t interfaceVersion, uint8_t info[USBDRV_DRIVER_INFO_SIZE]) {
  std::memset(info, 0, USBDRV_DRIVER_INFO_SIZE);
  PutWord(info, interfaceVersion);
  // Driver version 2.10; the remaining fields stay 0.
  PutWord(info + 4, 0x0210);
}

uint32_t ControlHandler::Execute(uint32_t code, const void* in, uint32_t inSize, void* out,
                                 uint32_t outSize, uint32_t* bytes) {
  uint8_t* output = static_cast<uint8_t*>(out);
  *bytes = 0;
  switch (code) {
    case USBDRV_REQUEST_DRIVER_INFO:
      BuildDriverInfo(session_->InterfaceVersion(), output);
      *bytes = USBDRV_DRIVER_INFO_SIZE;
      return 0;
    case USBDRV_REQUEST_GET_DESCRIPTOR: {
      DescriptorRequest request;
      if (!DecodeDescriptorRecord(in, inSize, &request)) return USBDRV_ERROR_INVALID_PARAMETER;
      uint32_t length = outSize;
      const uint32_t status = session_->GetDescriptor(request, output, &length);
      *bytes = length < outSize ? length : outSize;
      return status;
    }
    case USBDRV_REQUEST_GET_CONFIGURATION: {
      uint8_t value = 0;
      const uint32_t status = session_->GetConfiguration(&value);
      if (status == 0) {
        output[0] = value;
        *bytes = 1;
      }
      return status;
    }
    case USBDRV_REQUEST_SET_CONFIGURATION: {
      ConfigurationRequest request;
      if (!DecodeConfigurationRecord(in, inSize, &request)) return USBDRV_ERROR_INVALID_PARAMETER;
      return session_->SetConfiguration(request);
    }
    case USBDRV_REQUEST_BIND_ENDPOINT: {
      // A handle is bound once; binding it again fails.
      if (binding_.load() != 0) return USBDRV_STATUS_FAILED;
      const uint8_t address = static_cast<const uint8_t*>(in)[0];
      const uint32_t status = session_->BindEndpoint(address);
      if (status == 0) binding_.store(static_cast<uint16_t>(kBound | address));
      return status;
    }
    case USBDRV_REQUEST_ABORT_ENDPOINT:
      if (binding_.load() == 0) return USBDRV_STATUS_FAILED;
      session_->AbortEndpoint();
      return 0;
  }
  return USBDRV_ERROR_INVALID_FUNCTION;
}

uint32_t ControlHandler::CheckTransfer(bool in, uint8_t* endpoint) const {
  const uint16_t binding = binding_.load();
  const uint8_t address = static_cast<uint8_t>(binding & 0xFF);
  // Reads need a handle bound to an IN endpoint, writes one bound to OUT.
  if (binding == 0 || ((address & 0x80) != 0) != in) return USBDRV_ERROR_INVALID_FUNCTION;
  *endpoint = address;
  return 0;
}

}  // namespace usbdrv
