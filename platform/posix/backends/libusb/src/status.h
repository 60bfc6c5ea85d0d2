// How libusb's results become the driver's statuses.
#ifndef VELKOR_LIBUSB_STATUS_H
#define VELKOR_LIBUSB_STATUS_H

#include <cstdint>

namespace libusb_backend {

// The driver status for a libusb transfer status (enum libusb_transfer_status).
uint32_t TransferStatus(int transferStatus);
// The driver status for a libusb error code (enum libusb_error, 0 or less),
// as a transfer that failed that way would report it.
uint32_t ErrorStatus(int error);

}  // namespace libusb_backend

#endif
