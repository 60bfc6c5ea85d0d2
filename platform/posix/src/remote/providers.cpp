#include <string.h>

#include "client.h"
#include "simdir.h"
#include "usbdrv/device.h"

namespace usbdrv {

// Handsets in kv30sim processes: every live socket in the kv30sim folder
// whose process publishes the interface class asked for, in name order. A
// socket nobody answers on (its kv30sim gone) is passed over, and so is a
// folder that other users could have put sockets into.
static std::vector<std::shared_ptr<Instance>> ListSimulatedHandsets(const GUID& interfaceClass) {
  std::vector<std::shared_ptr<Instance>> found;
  std::string dir = remote::SimDirectory();
  if (remote::CheckDirectory(dir) != remote::kDirSafe) return found;
  for (const std::string& name : remote::ListSockets(dir)) {
    std::string path = dir + "/" + name;
    GUID published;
    if (!remote::Probe(path, &published)) continue;
    if (memcmp(&published, &interfaceClass, sizeof published) != 0) continue;
    found.push_back(std::make_shared<remote::RemoteInstance>(path));
  }
  return found;
}

void InstallDefaultProviders() { AddProvider(ListSimulatedHandsets); }

}  // namespace usbdrv
