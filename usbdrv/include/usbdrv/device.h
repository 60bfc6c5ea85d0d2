// The device interface behind every USB kernel driver stand-in.
//
// A driver stand-in (the POSIX platform layer's CreateFileA, DeviceIoControl,
// ReadFile, WriteFile, CancelIo and CloseHandle; the Windows test driver with
// its user-mode server) turns the driver's requests into calls on this
// interface. It decodes the driver's records itself (control.h) and hands the
// device typed values; no device parses a driver record. Whatever sits
// behind an instance (the simulated handset, a handset in another process, a
// real device through libusb) implements `Instance` and `Session`.
//
// Status words are those of the driver: 0 for success, otherwise a Windows
// error code or a 0xE000xxxx driver status (requests.h).
//
// Threads and blocking:
// - Control requests (GetDescriptor, GetConfiguration, SetConfiguration,
//   BindEndpoint) may block the calling thread until the device answers; a
//   device that talks to a peer bounds that wait with a time limit of its own.
//   The stand-in sends them one at a time per session.
// - Submit, Cancel and AbortEndpoint never wait for a peer (another process,
//   a socket, the USB bus): they queue what they have to ask and return.
//   They may come from several threads at once and concurrently with a
//   control request.
// - The stand-in never calls into a session with a lock of its own held, so
//   a device may call Transfer::Complete from inside any of its operations.
// - Transfer::Complete may be called on any thread. The stand-in only
//   records the result there and delivers it to the program (overlapped
//   record, event) on a thread of its own, so a device may call it with its
//   own locks held.
#ifndef VELKOR_USBDRV_DEVICE_H
#define VELKOR_USBDRV_DEVICE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "usbdrv/requests.h"

namespace usbdrv {

// The driver interface version a session reports unless its device declares
// another.
constexpr uint16_t kInterfaceVersion = USBDRV_INTERFACE_VERSION;

// An interface class, laid out as a Windows GUID.
struct InterfaceClass {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
bool operator==(const InterfaceClass& a, const InterfaceClass& b);
inline bool operator!=(const InterfaceClass& a, const InterfaceClass& b) { return !(a == b); }

// What a get-descriptor request asks for.
struct DescriptorRequest {
  uint32_t recipient = 0;  // 0: the device
  uint8_t type = 0;        // USBDRV_DESCRIPTOR_TYPE_*
  uint8_t index = 0;
  uint16_t language = 0;
};

// One interface entry of a set-configuration request.
struct InterfaceSetting {
  uint16_t interfaceNumber = 0;
  uint16_t alternateSetting = 0;
  uint32_t maximumTransferSize = 0;
};

// A set-configuration request: the configuration to select, by index (0 is
// the first), and the interfaces the driver is to set up in it.
struct ConfigurationRequest {
  uint16_t configurationIndex = 0;
  std::vector<InterfaceSetting> interfaces;  // at most USBDRV_MAX_INTERFACE_ENTRIES
};

// One data transfer on a bound endpoint. The stand-in creates it for a
// ReadFile or WriteFile and owns it; the device completes it.
class Transfer {
 public:
  uint8_t endpoint = 0;     // address of the bound endpoint; bit 0x80 set for IN
  uint8_t* data = nullptr;  // IN: room for `length` bytes; OUT: the bytes to send
  uint32_t length = 0;

  // Called by the device exactly once for every submitted transfer, from any
  // thread, also from inside Submit, Cancel or AbortEndpoint. `actual` is the
  // number of bytes moved (for IN, written to `data`). After the call returns
  // the device must not touch the transfer or its data again.
  virtual void Complete(uint32_t status, uint32_t actual) = 0;

 protected:
  ~Transfer() = default;
};

// One open handle on a driver instance.
//
// The stand-in destroys a session only after every transfer submitted on it
// has been completed; the destructor runs on whichever thread dropped the
// last reference and must not wait for a completion to be delivered.
class Session {
 public:
  virtual ~Session() = default;

  // The interface version for the driver-information record, which the
  // stand-in answers itself. Never blocks.
  virtual uint16_t InterfaceVersion() { return kInterfaceVersion; }

  // Get descriptor. `length` is in and out: the room at `out`, then the number
  // of bytes delivered.
  virtual uint32_t GetDescriptor(const DescriptorRequest& request, uint8_t* out,
                                 uint32_t* length) = 0;
  // Current configuration value; 0 means unconfigured.
  virtual uint32_t GetConfiguration(uint8_t* value) = 0;
  virtual uint32_t SetConfiguration(const ConfigurationRequest& request) = 0;
  // Binds this handle to one endpoint address (bit 0x80 set for IN). The
  // stand-in binds a handle at most once and only submits transfers on the
  // bound endpoint, in its direction.
  virtual uint32_t BindEndpoint(uint8_t address) = 0;
  // Ends every pending transfer of this (bound) handle with a failure status,
  // now or soon; returns without waiting for them.
  virtual void AbortEndpoint() = 0;

  // Queues one transfer on the bound endpoint. The device completes it later
  // (or at once) through Transfer::Complete.
  virtual void Submit(Transfer* transfer) = 0;
  // Withdraws one pending transfer: completes it, now or soon, with
  // USBDRV_ERROR_OPERATION_ABORTED unless it has completed already (then
  // nothing happens). The stand-in holds the transfer until Cancel returns.
  virtual void Cancel(Transfer* transfer) = 0;
};

// A driver instance: what the setup API lists under an interface class.
class Instance {
 public:
  virtual ~Instance() = default;
  // Opens a handle on the instance; null when it cannot be opened (the
  // CreateFileA on its device path then fails).
  virtual std::unique_ptr<Session> Open() = 0;
};

}  // namespace usbdrv

#endif
