// Real handsets through libusb-1.0: the USB devices with a handset's vendor
// and product identifiers, each as a driver instance.
//
// Opening an instance opens the device, detaches a kernel driver bound to its
// interface 0 and claims that interface. All handles on one device within a
// process share one libusb device handle, so that the program's inspecting,
// reading and writing handles can be open at once; a device that another
// program has claimed, or that the user may not open, gives no session.
//
// Transfers are asynchronous libusb transfers, completed on one libusb event
// thread per process. That thread and every libusb resource end in Shutdown,
// which runs by itself when the process exits.
#ifndef VELKOR_LIBUSB_BACKEND_H
#define VELKOR_LIBUSB_BACKEND_H

#include <usbdrv/device.h>
#include <usbdrv/handset.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace libusb_backend {

// The interface class under which the handsets are listed, and their vendor
// and product identifiers: the driver's.
constexpr usbdrv::InterfaceClass kInterfaceClass = usbdrv::kHandsetInterfaceClass;
using usbdrv::kHandsetIdCount;
using usbdrv::kHandsetIds;
using usbdrv::UsbId;

// The present USB devices whose identifiers are in kHandsetIds, each as one
// driver instance, in bus order (bus number, then device address). Empty when
// libusb cannot start, for instance without a USB file system. Starts libusb
// and its event thread on first use.
std::vector<std::shared_ptr<usbdrv::Instance>> ListHandsets();

// Ends the pending transfers of every open handle, closes the handles, stops
// the event thread and releases libusb. Sessions still open fail from then
// on. Runs by itself when the process exits; a later ListHandsets starts
// libusb again.
void Shutdown();

// What the backend holds at the moment.
struct Resources {
  bool running = false;  // a libusb context with its event thread
  int openDevices = 0;   // libusb device handles
  int transfers = 0;     // libusb transfers allocated
};
Resources LiveResources();

}  // namespace libusb_backend

#endif
