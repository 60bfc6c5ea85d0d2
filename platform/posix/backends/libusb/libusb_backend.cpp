// The libusb backend of the driver stand-in: the handsets on the USB bus are
// listed as driver instances of the handset's interface class. A program
// gets it by linking this object; it registers itself.
#include "libusb_backend/backend.h"
#include "posixplat/registry.h"

namespace {

// After kv30sim's handsets (rank 10): a kv30sim that the user started for a
// dry run comes first, and a handset on the bus that cannot be opened does
// not hide it.
constexpr int kRank = 20;

std::vector<std::shared_ptr<usbdrv::Instance>> List(const usbdrv::InterfaceClass& wanted) {
  if (wanted != libusb_backend::kInterfaceClass) return {};
  return libusb_backend::ListHandsets();
}

const bool registered = posixplat::AddBackend(kRank, List);

}  // namespace
