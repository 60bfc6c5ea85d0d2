// The instance registry of the USB kernel driver stand-in: registered
// instances, providers, and the device paths by which CreateFileA reaches
// them.
#ifndef VELKOR_POSIX_DRIVER_REGISTRY_H
#define VELKOR_POSIX_DRIVER_REGISTRY_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "posixplat/registry.h"
#include "posixplat/testing.h"
#include "usbdrv/device.h"

namespace posixplat {

struct ListedInstance {
  std::shared_ptr<usbdrv::Instance> instance;
  std::string path;
};

usbdrv::InterfaceClass ToInterfaceClass(const GUID& guid);

// The present instances of an interface class: the registered ones in
// registration order, then those of the backends and of the providers.
std::vector<ListedInstance> ListInstances(const usbdrv::InterfaceClass& interfaceClass);
// The instance behind a device path (compared without regard to case), or
// null. A path stays valid while anything holds its instance.
std::shared_ptr<usbdrv::Instance> FindInstance(const std::string& path, std::string* canonical);

ControlCompletion ControlCompletionFor(const std::string& path);
// The status a test made the driver-information request fail with; 0: none.
uint32_t DriverInfoFailureFor(const std::string& path);
// Bookkeeping of open driver handles per device path.
void CountDriverHandle(const std::string& path, int delta);
void CountSession(int delta);

void ResetRegistry();
void ResetSetupApi();

}  // namespace posixplat

#endif
