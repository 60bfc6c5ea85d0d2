// The handset that a kv30sim run simulates, assembled from its options: the
// device with its shell and loader and their faults, the foreign device that
// --foreign-first lists before it, and the files it keeps (--settings,
// --image, --log). Shared by every front end of kv30sim.
#ifndef VELKOR_KV30SIM_HANDSET_H
#define VELKOR_KV30SIM_HANDSET_H

#include <memory>
#include <vector>

#include "sim/device.h"
#include "sim/kv30sim/options.h"
#include "sim/kv30sim/transcript.h"
#include "usbdrv/device.h"

namespace kv30sim {

struct Handset {
  std::shared_ptr<sim::Device> device;
  std::shared_ptr<sim::Device> foreign;  // null unless --foreign-first
  // What a front end publishes, in listing order: the foreign device first,
  // then the handset (wrapped so that the transcript sees its transfers).
  std::vector<std::shared_ptr<usbdrv::Instance>> instances;
};

// `transcript` may be null (no --log); it must outlive the handset's sessions.
Handset BuildHandset(const Options& options, Transcript* transcript);

}  // namespace kv30sim

#endif
