#include "device_handle.h"

#include <usbdrv/requests.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "context.h"
#include "status.h"

namespace libusb_backend {
namespace {

// How long closing or aborting waits for the completions of cancelled
// transfers. The kernel ends a cancelled transfer at once; the bound only
// keeps a broken bus from hanging the program.
constexpr int kCancelWaitMs = 5000;

std::atomic<int> liveHandles{0};
std::atomic<int> liveTransfers{0};

}  // namespace

int LiveDeviceHandles() { return liveHandles.load(); }
int LiveTransfers() { return liveTransfers.load(); }

// One usbdrv transfer as a libusb transfer. All fields but the constant ones
// are guarded by the handle's lock. It is freed once its completion has run
// and no Submit, Cancel or Abort call still uses it. It keeps its handle
// alive until then.
struct DeviceHandle::Flight {
  std::shared_ptr<DeviceHandle> keep;
  DeviceHandle* handle = nullptr;
  const void* owner = nullptr;
  usbdrv::Transfer* transfer = nullptr;
  libusb_transfer* libusbTransfer = nullptr;
  uint64_t serial = 0;
  int users = 0;
  bool submitted = false;  // libusb has accepted it
  bool cancelRequested = false;
  bool completing = false;  // its completion is being delivered
  bool done = false;        // completed, or refused by libusb
};

DeviceHandle::DeviceHandle(std::shared_ptr<Context> context, libusb_device* device,
                           libusb_device_handle* handle, bool claimed)
    : context_(std::move(context)), device_(device), handle_(handle), claimed_(claimed) {
  liveHandles.fetch_add(1);
}

DeviceHandle::~DeviceHandle() { Close(); }

libusb_device_handle* DeviceHandle::Enter() {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return nullptr;
  calls_++;
  return handle_;
}

void DeviceHandle::Leave() {
  std::lock_guard<std::mutex> guard(lock_);
  calls_--;
  changed_.notify_all();
}

bool DeviceHandle::Closed() {
  std::lock_guard<std::mutex> guard(lock_);
  return closed_;
}

uint32_t DeviceHandle::SetConfiguration(int value) {
  std::lock_guard<std::mutex> configuring(configLock_);
  libusb_device_handle* handle = Enter();
  if (handle == nullptr) return ErrorStatus(LIBUSB_ERROR_NO_DEVICE);
  bool claimed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    claimed = claimed_;
    claimed_ = false;
  }
  if (claimed) libusb_release_interface(handle, 0);
  const int set = libusb_set_configuration(handle, value);
  const int claim = libusb_claim_interface(handle, 0);
  {
    std::lock_guard<std::mutex> guard(lock_);
    claimed_ = claim == LIBUSB_SUCCESS;
  }
  Leave();
  if (set != LIBUSB_SUCCESS) return ErrorStatus(set);
  return ErrorStatus(claim);
}

namespace {

// A control transfer waited for on this handle's terms: the libusb transfer
// is freed in its completion, after which nothing of libusb touches it.
struct ControlWait {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  int status = LIBUSB_TRANSFER_ERROR;
  int actual = 0;
};

void LIBUSB_CALL OnControlDone(libusb_transfer* transfer) {
  auto* wait = static_cast<ControlWait*>(transfer->user_data);
  const int status = transfer->status;
  const int actual = transfer->actual_length;
  libusb_free_transfer(transfer);
  liveTransfers.fetch_sub(1);
  std::lock_guard<std::mutex> guard(wait->lock);
  wait->status = status;
  wait->actual = actual;
  wait->finished = true;
  wait->done.notify_all();
}

}  // namespace

int DeviceHandle::ControlTransfer(libusb_device_handle* handle, uint8_t requestType,
                                  uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                                  uint16_t length, unsigned timeoutMs) {
  if (context_->OnEventThread()) return LIBUSB_ERROR_BUSY;  // nobody would complete it
  std::vector<uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
  libusb_fill_control_setup(buffer.data(), requestType, request, value, index, length);
  if ((requestType & LIBUSB_ENDPOINT_IN) == 0 && length > 0) {
    std::copy(data, data + length, buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE);
  }
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  if (transfer == nullptr) return LIBUSB_ERROR_NO_MEM;
  liveTransfers.fetch_add(1);
  ControlWait wait;
  libusb_fill_control_transfer(transfer, handle, buffer.data(), OnControlDone, &wait, timeoutMs);
  const int submitted = libusb_submit_transfer(transfer);
  if (submitted != LIBUSB_SUCCESS) {
    libusb_free_transfer(transfer);
    liveTransfers.fetch_sub(1);
    return submitted;
  }
  std::unique_lock<std::mutex> guard(wait.lock);
  // libusb ends it by its time limit; the wait has no limit of its own.
  wait.done.wait(guard, [&] { return wait.finished; });
  switch (wait.status) {
    case LIBUSB_TRANSFER_COMPLETED:
      if ((requestType & LIBUSB_ENDPOINT_IN) != 0 && wait.actual > 0) {
        std::copy(buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE,
                  buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE + wait.actual, data);
      }
      return wait.actual;
    case LIBUSB_TRANSFER_STALL:
      return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_OVERFLOW:
      return LIBUSB_ERROR_OVERFLOW;
    default:
      return LIBUSB_ERROR_IO;
  }
}

bool DeviceHandle::Release(Flight* flight) {
  flight->users--;
  return flight->done && flight->users == 0;
}

void DeviceHandle::Free(Flight* flight) {
  libusb_free_transfer(flight->libusbTransfer);
  liveTransfers.fetch_sub(1);
  delete flight;
}

void DeviceHandle::Submit(const void* owner, usbdrv::Transfer* transfer) {
  libusb_transfer* libusbTransfer = libusb_alloc_transfer(0);
  if (libusbTransfer == nullptr) {
    transfer->Complete(USBDRV_STATUS_NO_MEMORY, 0);
    return;
  }
  liveTransfers.fetch_add(1);
  auto* flight = new Flight;
  flight->handle = this;
  flight->owner = owner;
  flight->transfer = transfer;
  flight->libusbTransfer = libusbTransfer;
  libusb_device_handle* handle;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) {
      handle = nullptr;
    } else {
      handle = handle_;
      calls_++;
      flight->keep = shared_from_this();
      flight->users = 1;
      flight->serial = nextSerial_++;
      flights_[flight->serial] = flight;
    }
  }
  if (handle == nullptr) {
    Free(flight);
    transfer->Complete(ErrorStatus(LIBUSB_ERROR_NO_DEVICE), 0);
    return;
  }
  libusb_fill_bulk_transfer(libusbTransfer, handle, transfer->endpoint, transfer->data,
                            static_cast<int>(transfer->length), &DeviceHandle::OnTransferDone,
                            flight, 0);
  const int submitted = libusb_submit_transfer(libusbTransfer);
  bool cancel = false;
  bool free = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (submitted != LIBUSB_SUCCESS) {
      flight->done = true;
      flights_.erase(flight->serial);
      flight->keep.reset();  // this call's caller holds the handle
    } else {
      flight->submitted = true;
      // A cancellation that came while libusb did not have it yet.
      cancel = flight->cancelRequested && !flight->done;
    }
    if (!cancel) {
      free = Release(flight);
      if (free) Free(flight);
      calls_--;
      changed_.notify_all();
    }
  }
  if (cancel) {
    libusb_cancel_transfer(libusbTransfer);
    std::lock_guard<std::mutex> guard(lock_);
    free = Release(flight);
    if (free) Free(flight);
    calls_--;
    changed_.notify_all();
  }
  // Last: once completed, the transfer may be gone.
  if (submitted != LIBUSB_SUCCESS) transfer->Complete(ErrorStatus(submitted), 0);
}

void LIBUSB_CALL DeviceHandle::OnTransferDone(libusb_transfer* done) {
  auto* flight = static_cast<Flight*>(done->user_data);
  DeviceHandle* self = flight->handle;
  const uint32_t status = TransferStatus(done->status);
  const uint32_t actual = done->actual_length > 0 ? static_cast<uint32_t>(done->actual_length) : 0;
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    flight->completing = true;  // no cancellation reaches it any more
  }
  // The flight stays listed until its completion has been delivered, so that
  // Abort and Close return only after that.
  flight->transfer->Complete(status, actual);
  std::shared_ptr<DeviceHandle> keep;
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    flight->done = true;
    self->flights_.erase(flight->serial);
    keep.swap(flight->keep);
    if (flight->users == 0) Free(flight);
    self->changed_.notify_all();
  }
  // `keep` may be the last reference; the handle must not close inside
  // libusb's event handling.
  self->context_->Release(std::move(keep));
}

DeviceHandle::Flight* DeviceHandle::FindLocked(usbdrv::Transfer* transfer) {
  for (auto& entry : flights_) {
    if (entry.second->transfer == transfer && !entry.second->completing) return entry.second;
  }
  return nullptr;
}

void DeviceHandle::Cancel(Flight* flight) {
  libusb_cancel_transfer(flight->libusbTransfer);
}

void DeviceHandle::Cancel(usbdrv::Transfer* transfer) {
  Flight* flight;
  {
    std::lock_guard<std::mutex> guard(lock_);
    flight = FindLocked(transfer);
    if (flight == nullptr) return;
    flight->cancelRequested = true;
    if (!flight->submitted) return;  // Submit cancels it once libusb has it
    flight->users++;
    calls_++;
  }
  Cancel(flight);
  std::lock_guard<std::mutex> guard(lock_);
  if (Release(flight)) Free(flight);
  calls_--;
  changed_.notify_all();
}

template <class Predicate>
void DeviceHandle::WaitLocked(std::unique_lock<std::mutex>& guard, Predicate done, int ms) {
  // The completions run on the event thread: there they cannot be waited for.
  if (context_->OnEventThread()) return;
  changed_.wait_for(guard, std::chrono::milliseconds(ms), done);
}

void DeviceHandle::Abort(const void* owner) {
  std::vector<Flight*> cancelled;
  uint64_t mark;
  {
    std::lock_guard<std::mutex> guard(lock_);
    mark = nextSerial_;
    for (auto& entry : flights_) {
      Flight* flight = entry.second;
      if (flight->owner != owner || flight->completing) continue;
      flight->cancelRequested = true;
      if (!flight->submitted) continue;  // Submit cancels it
      flight->users++;
      calls_++;
      cancelled.push_back(flight);
    }
  }
  for (Flight* flight : cancelled) Cancel(flight);
  std::unique_lock<std::mutex> guard(lock_);
  for (Flight* flight : cancelled) {
    if (Release(flight)) Free(flight);
    calls_--;
  }
  changed_.notify_all();
  WaitLocked(
      guard,
      [&] {
        for (auto& entry : flights_) {
          if (entry.first >= mark) break;
          if (entry.second->owner == owner) return false;
        }
        return true;
      },
      kCancelWaitMs);
}

void DeviceHandle::Close() {
  std::vector<Flight*> cancelled;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return;
    closed_ = true;
    for (auto& entry : flights_) {
      Flight* flight = entry.second;
      if (flight->completing) continue;
      flight->cancelRequested = true;
      if (!flight->submitted) continue;
      flight->users++;
      calls_++;
      cancelled.push_back(flight);
    }
  }
  for (Flight* flight : cancelled) Cancel(flight);
  libusb_device_handle* handle = nullptr;
  bool claimed = false;
  {
    std::unique_lock<std::mutex> guard(lock_);
    for (Flight* flight : cancelled) {
      if (Release(flight)) Free(flight);
      calls_--;
    }
    changed_.notify_all();
    WaitLocked(guard, [&] { return flights_.empty() && calls_ == 0; }, kCancelWaitMs);
    // A handle with transfers that never ended stays open: libusb may
    // still complete them into it.
    if (flights_.empty() && calls_ == 0) {
      handle = handle_;
      claimed = claimed_;
      handle_ = nullptr;
      claimed_ = false;
    }
  }
  if (handle != nullptr) {
    if (claimed) libusb_release_interface(handle, 0);
    libusb_close(handle);
    liveHandles.fetch_sub(1);
  }
  context_->Forget(device_, this);
}

}  // namespace libusb_backend
