// The device interface behind the USB kernel driver stand-in.
//
// The driver stand-in (the platform's CreateFileA, DeviceIoControl, ReadFile,
// WriteFile, CancelIo and CloseHandle on a driver instance's device path)
// serves the driver's requests and its overlapped data path over this
// interface. Whatever sits behind an instance (the simulated handset in this
// process, a handset in another process, a real device through libusb)
// implements `Instance` and `Session`.
//
// Status words are those of the driver: 0 for success, otherwise a Windows
// error code or a 0xE000xxxx driver status.
#ifndef VELKOR_USBDRV_DEVICE_H
#define VELKOR_USBDRV_DEVICE_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace usbdrv {

// One data transfer on a bound endpoint. The driver stand-in creates it for a
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
// Control requests on one session come one at a time. Submit, Cancel and
// AbortEndpoint may come from several threads at once and concurrently with
// a control request. The driver stand-in destroys a session only after every
// transfer submitted on it has been completed.
//
// How the stand-in uses a session:
// - Complete only records the result; the overlapped record and its event
//   are updated later on the driver's completion thread (or, for a transfer
//   completed inside Submit, by the thread that called ReadFile/WriteFile,
//   which then returns TRUE at once). So Complete may be called with the
//   device's own locks held.
// - Closing the handle calls Cancel for each of its transfers not yet
//   completed; CancelIo does so for the calling thread's ones.
// - The destructor runs on the thread that dropped the last reference: the
//   one calling CloseHandle, or the driver's completion thread after the
//   last transfer. It must not wait for another completion to be delivered.
// - A status of ERROR_IO_PENDING (997) in Complete is reported as
//   ERROR_GEN_FAILURE (997 marks a running operation in the record).
class Session {
 public:
  virtual ~Session() = default;

  // Driver information: fills the 12-byte record; its first 16-bit field is
  // the interface version (0x0200 for the driver velkor expects).
  virtual uint32_t DriverInfo(uint8_t info[12]) = 0;
  // Get descriptor. `length` is in and out: the room at `out`, then the number
  // of bytes delivered.
  virtual uint32_t GetDescriptor(uint32_t recipient, uint8_t type, uint8_t index, uint16_t language,
                                 uint8_t* out, uint32_t* length) = 0;
  // Current configuration value; 0 means unconfigured.
  virtual uint32_t GetConfiguration(uint8_t* value) = 0;
  // Set configuration with the 260-byte request record.
  virtual uint32_t SetConfiguration(const uint8_t* record, uint32_t length) = 0;
  // Binds this handle to one endpoint address (bit 0x80 set for IN).
  virtual uint32_t BindEndpoint(uint8_t address) = 0;
  // Ends every pending transfer of this handle with a failure status.
  virtual uint32_t AbortEndpoint() = 0;

  // Queues one transfer on the bound endpoint. The device completes it later
  // (or at once) through Transfer::Complete.
  virtual void Submit(Transfer* transfer) = 0;
  // Withdraws one pending transfer: completes it with ERROR_OPERATION_ABORTED
  // unless it has completed already (then nothing happens).
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

// Registers an instance under an interface class and returns its id (> 0).
// The setup API lists the registered instances of a class in registration
// order, followed by the instances of the providers.
int RegisterInstance(const GUID& interfaceClass, std::shared_ptr<Instance> instance);
// Removes a registered instance. Handles already open on it stay usable.
void UnregisterInstance(int id);
// Removes every registered instance (for tests).
void UnregisterAllInstances();

// A provider contributes instances found elsewhere (for example handsets in
// other processes) each time the setup API builds an interface list.
using Provider = std::function<std::vector<std::shared_ptr<Instance>>(const GUID&)>;
int AddProvider(Provider provider);
void RemoveProvider(int id);

// Installs the providers a velkor process has without being told: the
// lookup of simulated handsets in other processes. The driver stand-in calls
// it once, before it first lists instances.
void InstallDefaultProviders();

}  // namespace usbdrv

#endif
