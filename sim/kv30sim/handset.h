// The handset that a kv30sim run simulates, assembled from its options: the
// device with its shell and loader and their faults, the foreign device that
// --foreign-first lists before it, and the files it keeps (--settings,
// --image, --log). Shared by every front end of kv30sim.
#ifndef VELKOR_KV30SIM_HANDSET_H
#define VELKOR_KV30SIM_HANDSET_H

#include <memory>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/kv30sim/options.h"
#include "sim/kv30sim/transcript.h"
#include "usbdrv/device.h"

namespace kv30sim {

struct Handset {
  std::shared_ptr<sim::Device> device;
  std::shared_ptr<sim::Device> foreign;     // null unless --foreign-first
  std::shared_ptr<sim::Device> unopenable;  // null unless --unopenable-first
  // What a front end publishes, in listing order: the instance that cannot
  // be opened, the foreign device, then the handset (wrapped so that the
  // transcript sees its transfers). `names` tells them apart: "closed",
  // "foreign", and "" for the handset; their byte order is the listing order.
  std::vector<std::shared_ptr<usbdrv::Instance>> instances;
  std::vector<std::string> names;
};

// Stops or ends the whole process (Options::kTripStop or kTripKill), in the
// front end's way.
using TripAction = void (*)(Options::Trip trip);

// `transcript` may be null (no --log); it must outlive the handset's
// sessions. `trip` carries out --stop-at-write and --kill-at-write; a front
// end that cannot passes none and refuses those options itself.
Handset BuildHandset(const Options& options, Transcript* transcript, TripAction trip = nullptr);

}  // namespace kv30sim

#endif
