// The kv30sim backend of the driver stand-in: the handsets that kv30sim
// processes publish in the kv30sim folder are listed as driver instances.
// A program gets it by linking this object; it registers itself.
#include "posixplat/registry.h"
#include "simwire/client.h"

namespace {

// Listed before the other backends: a kv30sim that the user started for a
// dry run is preferred to a handset on the bus, so that a dry run never
// reaches a real handset by accident.
constexpr int kRank = 10;

const bool registered = posixplat::AddBackend(kRank, simwire::FindHandsets);

}  // namespace
