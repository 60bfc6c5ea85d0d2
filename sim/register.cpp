#include "sim/register.h"

#include <utility>

#include "posixplat/registry.h"

namespace sim {

int RegisterHandset(std::shared_ptr<usbdrv::Instance> instance) {
  return posixplat::RegisterInstance(kHandsetInterfaceClass, std::move(instance));
}

void UnregisterHandset(int id) { posixplat::UnregisterInstance(id); }

void UnregisterAllHandsets() { posixplat::UnregisterAllInstances(); }

}  // namespace sim
