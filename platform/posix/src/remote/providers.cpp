#include "usbdrv/device.h"

namespace usbdrv {

// Handsets in other processes are not looked up yet.
void InstallDefaultProviders() {}

}  // namespace usbdrv
