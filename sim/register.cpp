#include "sim/register.h"

#include <utility>

namespace sim {

const GUID kHandsetInterfaceClass = {
    0x3B7D51E2, 0x9C04, 0x4A6F, {0xB8, 0x12, 0x6E, 0x0D, 0x2C, 0x9F, 0x7A, 0x35}};

int RegisterHandset(std::shared_ptr<usbdrv::Instance> instance) {
  return usbdrv::RegisterInstance(kHandsetInterfaceClass, std::move(instance));
}

void UnregisterHandset(int id) { usbdrv::UnregisterInstance(id); }

}  // namespace sim
