#include "status.h"

#include <libusb.h>
#include <usbdrv/requests.h>

namespace libusb_backend {
namespace {

struct StatusEntry {
  libusb_transfer_status transfer;
  uint32_t driver;
};

// Every failure but the abort counts towards the read loop's error limit
// (none of them is the "powered down" status), so a handset that is pulled
// out ends the loop by its limit.
constexpr StatusEntry kStatusTable[] = {
    {LIBUSB_TRANSFER_COMPLETED, 0},
    {LIBUSB_TRANSFER_CANCELLED, USBDRV_ERROR_OPERATION_ABORTED},
    {LIBUSB_TRANSFER_NO_DEVICE, USBDRV_ERROR_DEVICE_NOT_CONNECTED},
    {LIBUSB_TRANSFER_STALL, USBDRV_STATUS_FAILED},
    {LIBUSB_TRANSFER_OVERFLOW, USBDRV_ERROR_INSUFFICIENT_BUFFER},
    {LIBUSB_TRANSFER_TIMED_OUT, USBDRV_STATUS_TIMEOUT},
    {LIBUSB_TRANSFER_ERROR, USBDRV_ERROR_GEN_FAILURE},
};

}  // namespace

uint32_t TransferStatus(int transferStatus) {
  for (const StatusEntry& entry : kStatusTable) {
    if (entry.transfer == transferStatus) return entry.driver;
  }
  return USBDRV_ERROR_GEN_FAILURE;
}

uint32_t ErrorStatus(int error) {
  switch (error) {
    case LIBUSB_SUCCESS:
      return TransferStatus(LIBUSB_TRANSFER_COMPLETED);
    case LIBUSB_ERROR_NO_DEVICE:
      return TransferStatus(LIBUSB_TRANSFER_NO_DEVICE);
    case LIBUSB_ERROR_PIPE:
      return TransferStatus(LIBUSB_TRANSFER_STALL);
    case LIBUSB_ERROR_OVERFLOW:
      return TransferStatus(LIBUSB_TRANSFER_OVERFLOW);
    case LIBUSB_ERROR_TIMEOUT:
      return TransferStatus(LIBUSB_TRANSFER_TIMED_OUT);
    case LIBUSB_ERROR_INTERRUPTED:
      return TransferStatus(LIBUSB_TRANSFER_CANCELLED);
    default:
      return TransferStatus(LIBUSB_TRANSFER_ERROR);
  }
}

}  // namespace libusb_backend
