// The USB kernel driver's interface: request codes, the records exchanged
// with it, and the status codes of the driver and of the USB access layer.
// All records are little-endian, as the driver lays them out.
//
// These are the program's own definitions, written against the real driver:
// velkor builds on them alone, on every host, and never includes the header
// that the driver stand-ins and the simulated handset share. A test holds the
// two to the same values.
#ifndef VELKOR_USBIO_USBIODEFS_H
#define VELKOR_USBIO_USBIODEFS_H

#include <windows.h>

// Request codes (DeviceIoControl).
const DWORD USBIO_REQUEST_DRIVER_INFO = 0x8094206C;        // out: USBIO_DRIVER_INFO
const DWORD USBIO_REQUEST_GET_DESCRIPTOR = 0x80942006;     // in: USBIO_DESCRIPTOR_REQUEST
const DWORD USBIO_REQUEST_GET_CONFIGURATION = 0x80942018;  // out: 1 byte
const DWORD USBIO_REQUEST_SET_CONFIGURATION = 0x80942024;  // in: USBIO_SET_CONFIGURATION
const DWORD USBIO_REQUEST_BIND_ENDPOINT = 0x80942078;      // in: USBIO_BIND_ENDPOINT
const DWORD USBIO_REQUEST_ABORT_ENDPOINT = 0x80942084;     // no data

// The driver interface version this program works with.
const WORD USBIO_INTERFACE_VERSION = 0x0200;

// Status codes (0 is success; otherwise a Windows error code or one of these).
const DWORD USBIO_STATUS_NO_MEMORY = 0xE0000100;
const DWORD USBIO_STATUS_FAILED = 0xE0001000;
const DWORD USBIO_STATUS_TIMEOUT = 0xE000100C;
const DWORD USBIO_STATUS_POWERED_DOWN = 0xE000101B;  // transfer status from the driver
const DWORD USBIO_STATUS_VERSION_MISMATCH = 0xE000101C;
const DWORD USBIO_STATUS_DEVICE_NOT_FOUND = 0xE0001100;
const DWORD USBIO_STATUS_NOT_OPEN = 0xE0001102;
const DWORD USBIO_STATUS_NO_SUCH_INSTANCE = 0xE0001104;
const DWORD USBIO_STATUS_INVALID_PARAMETER = 0xE0001105;
const DWORD USBIO_STATUS_NO_SETUP_API = 0xE0001106;

// Descriptor recipient and type values of the get-descriptor request.
const DWORD USBIO_RECIPIENT_DEVICE = 0;
const BYTE USBIO_DESCRIPTOR_TYPE_DEVICE = 1;

// Driver information (12 bytes). Only the interface version is read.
struct USBIO_DRIVER_INFO {
  WORD interfaceVersion;
  WORD reserved1;
  DWORD reserved2;
  DWORD reserved3;
};

// Get-descriptor request (8 bytes).
struct USBIO_DESCRIPTOR_REQUEST {
  DWORD recipient;
  BYTE descriptorType;
  BYTE descriptorIndex;
  WORD languageId;
};

// One interface entry of the set-configuration request (8 bytes).
struct USBIO_INTERFACE_SETTING {
  WORD interfaceNumber;
  WORD alternateSetting;
  DWORD maximumTransferSize;
};

const int USBIO_MAX_INTERFACES = 32;

// Set-configuration request (260 bytes); entries beyond the count are zero.
struct USBIO_SET_CONFIGURATION {
  WORD configurationIndex;
  WORD interfaceCount;
  USBIO_INTERFACE_SETTING interfaces[USBIO_MAX_INTERFACES];
};

// Bind-endpoint request (1 byte): the endpoint address, bit 0x80 set for IN.
struct USBIO_BIND_ENDPOINT {
  BYTE endpointAddress;
};

// The standard 18-byte USB device descriptor.
struct USBIO_DEVICE_DESCRIPTOR {
  BYTE bLength;
  BYTE bDescriptorType;
  WORD bcdUSB;
  BYTE bDeviceClass;
  BYTE bDeviceSubClass;
  BYTE bDeviceProtocol;
  BYTE bMaxPacketSize0;
  WORD idVendor;
  WORD idProduct;
  WORD bcdDevice;
  BYTE iManufacturer;
  BYTE iProduct;
  BYTE iSerialNumber;
  BYTE bNumConfigurations;
};

static_assert(sizeof(USBIO_DRIVER_INFO) == 12, "driver information is 12 bytes");
static_assert(sizeof(USBIO_DESCRIPTOR_REQUEST) == 8, "get-descriptor request is 8 bytes");
static_assert(sizeof(USBIO_INTERFACE_SETTING) == 8, "interface entry is 8 bytes");
static_assert(sizeof(USBIO_SET_CONFIGURATION) == 260, "set-configuration request is 260 bytes");
static_assert(sizeof(USBIO_BIND_ENDPOINT) == 1, "bind request is 1 byte");
static_assert(sizeof(USBIO_DEVICE_DESCRIPTOR) == 18, "device descriptor is 18 bytes");

#endif
