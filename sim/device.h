// The simulated KV30 handset as a driver instance.
//
// A Device is a usbdrv::Instance: the driver stand-in (or a process that
// forwards sessions from elsewhere) opens sessions on it and drives it only
// through usbdrv::Session. It has a standard device descriptor, a
// configuration value, and two bulk endpoint pairs, 3 (0x03/0x83) for the
// shell and 7 (0x07/0x87) for the loader. A Function attached to an endpoint
// number sees every host write on its OUT endpoint and answers through the
// InPipe of the IN endpoint.
//
// Behaviour on a session:
// - BindEndpoint accepts 0x03, 0x83, 0x07 and 0x87, once per session, and
//   only while the device is configured (configuration value not 0). Other
//   addresses fail with kStatusInvalidParameter, a second bind and a bind
//   while unconfigured with kStatusFailed.
// - Several sessions may bind the same endpoint. Reads of all sessions bound
//   to an IN endpoint form one queue in submission order; each IN transfer the
//   device sends completes the oldest pending read, cut to the read's length
//   (the rest is dropped), never before its due time and never before a
//   transfer sent earlier. Reads without data wait as long as it takes.
// - Writes of all sessions bound to an OUT endpoint are handed to the
//   function one at a time, in submission order, on the device's own thread.
//   A write completes as the function's WriteResult says; without a function
//   it completes successfully with its whole length.
// - Cancel and AbortEndpoint complete the pending transfers concerned at once
//   with kStatusAborted (ERROR_OPERATION_ABORTED) and 0 bytes. A write whose
//   function call is already running is not pending any more: it completes
//   when the call returns. AbortEndpoint on an unbound session fails with
//   kStatusFailed; Submit on an unbound session completes at once with
//   kStatusFailed.
// - Device-level faults (below) take precedence over the function and over
//   queued IN data.
//
// Every operation of Device is thread-safe and may be called at any time,
// also while sessions are open and transfers pending.
#ifndef VELKOR_SIM_DEVICE_H
#define VELKOR_SIM_DEVICE_H

#include "usbdrv/device.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "sim/descriptors.h"
#include "sim/function.h"

namespace sim {

// Statuses the device reports.
constexpr uint32_t kStatusAborted = USBDRV_ERROR_OPERATION_ABORTED;
constexpr uint32_t kStatusFailed = USBDRV_STATUS_FAILED;
constexpr uint32_t kStatusInvalidParameter = USBDRV_STATUS_INVALID_PARAMETER;
constexpr uint32_t kStatusPoweredDown = USBDRV_STATUS_POWERED_DOWN;

// Interface version the device declares unless told otherwise.
constexpr uint16_t kDriverInterfaceVersion = usbdrv::kInterfaceVersion;

// A fault count that never runs out.
constexpr uint32_t kForever = 0xFFFFFFFF;

// The control requests of a session, as logged.
enum class Request {
  kGetDescriptor,
  kGetConfiguration,
  kSetConfiguration,
  kBindEndpoint,
  kAbortEndpoint,
};

struct ControlRecord {
  int session = 0;  // serial of the session: 1, 2, ... in opening order
  Request request = Request::kGetDescriptor;
  // The request's input: get descriptor the 8-byte record (recipient, type,
  // index, language, little-endian), set configuration the record as given,
  // bind the address byte; empty for the others.
  std::vector<uint8_t> input;
  uint32_t status = 0;
};

struct WriteRecord {
  int session = 0;
  std::vector<uint8_t> data;  // every byte of the host write
  uint32_t status = 0;        // how the write completed
  uint32_t actual = 0;        // the byte count it reported
};

class Device : public usbdrv::Instance {
 public:
  // A handset with the default identifiers, unconfigured (value 0).
  Device();
  Device(uint16_t vendor, uint16_t product, uint8_t configurationValue = 0);
  // Stops the device's thread. Sessions still open stay usable for control
  // requests, Cancel and AbortEndpoint; nothing is delivered any more.
  ~Device() override;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // usbdrv::Instance: a new session, or null while SetOpenable(false).
  std::unique_ptr<usbdrv::Session> Open() override;

  // --- Identity and state -------------------------------------------------
  // Vendor and product identifier of the device descriptor.
  void SetIds(uint16_t vendor, uint16_t product);
  // Replaces the device descriptor bytes as a whole (any length; a short one
  // is delivered short). SetIds rebuilds the standard one.
  void SetDeviceDescriptor(const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> DeviceDescriptor() const;
  // The current configuration value (0: unconfigured). A successful set
  // configuration request makes it kConfigurationValue.
  void SetConfigurationValue(uint8_t value);
  uint8_t ConfigurationValue() const;
  // The interface version the device declares for the driver information
  // record (which the driver stand-in answers).
  void SetInterfaceVersion(uint16_t version);

  // --- Functions ----------------------------------------------------------
  // Attaches the function for endpoint number 3 or 7 (null detaches).
  void SetFunction(uint8_t number, std::shared_ptr<Function> function);
  // The IN side of endpoint pair 3 or 7; what a function is given, and what a
  // test uses to send IN transfers itself. Valid as long as the device.
  // Any other number gives a pipe that drops what it is sent.
  InPipe& In(uint8_t number);
  // Queues, in order with the IN transfers of pair `number`, one read
  // completion with `status` and no data (due `delayMs` from now). Unlike
  // FailReads it waits its turn behind data queued before it.
  void QueueReadFault(uint8_t number, uint32_t status, uint32_t delayMs = 0);
  // Drops the IN transfers not yet delivered on endpoint pair `number`.
  void ClearIn(uint8_t number);

  // --- Faults (each can be changed at any time) ----------------------------
  // Open() returns null (CreateFileA fails) while not openable.
  void SetOpenable(bool openable);
  // The request fails with `status` while it is not 0; 0 clears the fault.
  void FailDescriptor(uint32_t status);
  void FailGetConfiguration(uint32_t status);
  void FailSetConfiguration(uint32_t status);
  // Binding `address` (0x03, 0x83, 0x07, 0x87) fails with `status`; 0 clears.
  void FailBind(uint8_t address, uint32_t status);
  // The next `count` reads on IN endpoint `number` to complete do so at once
  // with `status` and 0 bytes, ahead of any queued IN data (which stays
  // queued). Reads already pending count. Calls queue up in order.
  void FailReads(uint8_t number, uint32_t count, uint32_t status);
  // The same with success and 0 bytes.
  void ZeroReads(uint8_t number, uint32_t count);
  // The next `count` writes on OUT endpoint `number` complete with `status`
  // and 0 bytes; the function does not see them. Calls queue up in order
  // with ShortWrites.
  void FailWrites(uint8_t number, uint32_t count, uint32_t status);
  // The next `count` writes move at most `maxBytes`: the function sees only
  // those bytes and the write reports at most that many.
  void ShortWrites(uint8_t number, uint32_t count, uint32_t maxBytes);
  // While withheld, the IN queue of endpoint pair `number` (data and
  // QueueReadFault entries) stays as it is: reads never complete unless
  // FailReads or ZeroReads complete them or they are cancelled or aborted.
  // Clearing it delivers what is due.
  void Withhold(uint8_t number, bool withhold);
  // While stalled, writes on OUT endpoint `number` stay pending until
  // cancelled or aborted; clearing it lets them through in order.
  void StallWrites(uint8_t number, bool stall);
  // A device that never answers: Withhold and StallWrites on both pairs.
  void SetSilent(bool silent);
  // Back to a healthy device (identity, configuration and logs unchanged).
  void ClearFaults();

  // --- Inspection ---------------------------------------------------------
  int OpenSessions() const;    // sessions open now
  int SessionsOpened() const;  // sessions opened in all
  std::vector<ControlRecord> Controls() const;
  // The records of every set configuration request, in order.
  std::vector<std::vector<uint8_t>> SetConfigurationRequests() const;
  // Every completed host write on OUT endpoint `number`, in order.
  std::vector<WriteRecord> Writes(uint8_t number) const;
  // The bytes of all host writes on OUT endpoint `number`, joined.
  std::vector<uint8_t> WrittenBytes(uint8_t number) const;
  // Reads the device completed on IN endpoint `number` (with data, zero
  // bytes or a read fault; not those cancelled or aborted).
  uint32_t ReadsCompleted(uint8_t number) const;
  uint32_t ReadsPending(uint8_t number) const;
  uint32_t WritesPending(uint8_t number) const;
  // IN transfers sent on pair `number` and not yet delivered.
  size_t InQueued(uint8_t number) const;
  // Waits until `condition` holds, re-testing it whenever the device's state
  // changes; false after `timeoutMs`. The condition may call the inspection
  // operations above.
  bool WaitUntil(const std::function<bool()>& condition, uint32_t timeoutMs) const;
  // Empties the control and write logs and the read counts.
  void ClearLogs();
  // While off, control requests and writes are not logged (a long-running
  // device keeps no growing record); counts go on. On by default.
  void SetRecording(bool on);

  struct Core;

 private:
  std::shared_ptr<Core> core_;
  std::thread thread_;
};

}  // namespace sim

#endif
