// The instance registry of the USB kernel driver stand-in: the seam through
// which devices reach the platform. What the setup API lists under an
// interface class, in this order: the instances registered in this process,
// then those of the backends the program is built with (by rank), then those
// of providers added at run time.
#ifndef VELKOR_POSIXPLAT_REGISTRY_H
#define VELKOR_POSIXPLAT_REGISTRY_H

#include <functional>
#include <memory>
#include <vector>

#include "usbdrv/device.h"

namespace posixplat {

// Registers an instance under an interface class and returns its id (> 0).
int RegisterInstance(const usbdrv::InterfaceClass& interfaceClass,
                     std::shared_ptr<usbdrv::Instance> instance);
// Removes a registered instance. Handles already open on it stay usable.
void UnregisterInstance(int id);
// Removes every registered instance (for tests).
void UnregisterAllInstances();

// A provider contributes instances found elsewhere (handsets in other
// processes, devices on the USB bus) each time the setup API builds an
// interface list. It runs without any lock of the registry held.
using Provider = std::function<std::vector<std::shared_ptr<usbdrv::Instance>>(
    const usbdrv::InterfaceClass& interfaceClass)>;
int AddProvider(Provider provider);
void RemoveProvider(int id);

// Adds the provider of a backend linked into the program; backends are
// listed by ascending rank and stay for the life of the process. Returns
// true, so that a backend can register from a static initialiser:
//   const bool registered = posixplat::AddBackend(kRank, List);
bool AddBackend(int rank, Provider provider);

}  // namespace posixplat

#endif
