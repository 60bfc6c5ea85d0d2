// Registered instances, providers and device paths.
#include "registry.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace posixplat {
namespace {

struct Registered {
  int id;
  usbdrv::InterfaceClass interfaceClass;
  std::shared_ptr<usbdrv::Instance> instance;
  std::string path;
};

struct PathEntry {
  std::string path;
  std::weak_ptr<usbdrv::Instance> instance;
};

struct Registry {
  std::mutex lock;
  int nextId = 1;
  std::vector<Registered> registered;
  int nextProviderId = 1;
  std::map<int, Provider> providers;
  // Backends linked into the program, by rank; never removed.
  std::multimap<int, Provider> backends;
  // Every path handed out and still in use; entries whose instance is gone
  // are dropped on the next scan.
  std::vector<PathEntry> paths;
  unsigned nextPathNumber = 1;
  ControlCompletion controlMode = ControlCompletion::kImmediate;
  std::map<std::string, ControlCompletion> pathControlModes;
  std::map<std::string, uint32_t> driverInfoFailures;
  std::map<std::string, int> openHandles;
  int liveSessions = 0;
};

// Never destroyed: handles may be closed while the process exits.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return text;
}

// A device path in the style of Windows interface paths, e.g.
// \\?\velkor#usbdrv#0001#{3b7d51e2-9c04-4a6f-b812-6e0d2c9f7a35}
std::string MakePath(Registry& registry, const usbdrv::InterfaceClass& g) {
  char text[96];
  snprintf(text, sizeof text,
           "\\\\?\\velkor#usbdrv#%04u#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
           registry.nextPathNumber++, static_cast<unsigned>(g.data1), g.data2, g.data3, g.data4[0],
           g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

void PruneExpired(Registry& registry) {
  auto& paths = registry.paths;
  paths.erase(std::remove_if(paths.begin(), paths.end(),
                             [](const PathEntry& entry) { return entry.instance.expired(); }),
              paths.end());
}

// The path of an instance, made on first sight. Called with the lock held.
std::string PathOf(Registry& registry, const std::shared_ptr<usbdrv::Instance>& instance,
                   const usbdrv::InterfaceClass& interfaceClass) {
  for (const PathEntry& entry : registry.paths) {
    if (entry.instance.lock() == instance) return entry.path;
  }
  std::string path = MakePath(registry, interfaceClass);
  registry.paths.push_back({path, instance});
  return path;
}

}  // namespace

usbdrv::InterfaceClass ToInterfaceClass(const GUID& guid) {
  static_assert(sizeof(GUID) == sizeof(usbdrv::InterfaceClass), "a GUID is 16 bytes");
  usbdrv::InterfaceClass interfaceClass;
  memcpy(&interfaceClass, &guid, sizeof interfaceClass);
  return interfaceClass;
}

std::vector<ListedInstance> ListInstances(const usbdrv::InterfaceClass& interfaceClass) {
  Registry& registry = TheRegistry();
  std::vector<ListedInstance> listed;
  std::vector<Provider> providers;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    for (const Registered& entry : registry.registered) {
      if (entry.interfaceClass == interfaceClass) listed.push_back({entry.instance, entry.path});
    }
    for (const auto& backend : registry.backends) providers.push_back(backend.second);
    for (const auto& provider : registry.providers) providers.push_back(provider.second);
  }
  // Providers run without the lock: they may take their time or register.
  for (const Provider& provider : providers) {
    std::vector<std::shared_ptr<usbdrv::Instance>> found = provider(interfaceClass);
    std::lock_guard<std::mutex> guard(registry.lock);
    PruneExpired(registry);
    for (auto& instance : found) {
      if (!instance) continue;
      listed.push_back({instance, PathOf(registry, instance, interfaceClass)});
    }
  }
  return listed;
}

std::shared_ptr<usbdrv::Instance> FindInstance(const std::string& path, std::string* canonical) {
  Registry& registry = TheRegistry();
  const std::string wanted = Lower(path);
  std::lock_guard<std::mutex> guard(registry.lock);
  for (const PathEntry& entry : registry.paths) {
    if (Lower(entry.path) != wanted) continue;
    std::shared_ptr<usbdrv::Instance> instance = entry.instance.lock();
    if (instance && canonical != nullptr) *canonical = entry.path;
    return instance;
  }
  return nullptr;
}

ControlCompletion ControlCompletionFor(const std::string& path) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto it = registry.pathControlModes.find(Lower(path));
  return it == registry.pathControlModes.end() ? registry.controlMode : it->second;
}

uint32_t DriverInfoFailureFor(const std::string& path) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto it = registry.driverInfoFailures.find(Lower(path));
  return it == registry.driverInfoFailures.end() ? 0 : it->second;
}

void FailDriverInfo(const std::string& devicePath, uint32_t status) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  if (status == 0) {
    registry.driverInfoFailures.erase(Lower(devicePath));
  } else {
    registry.driverInfoFailures[Lower(devicePath)] = status;
  }
}

void CountDriverHandle(const std::string& path, int delta) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  int& count = registry.openHandles[path];
  count += delta;
  if (count == 0) registry.openHandles.erase(path);
}

void CountSession(int delta) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.liveSessions += delta;
}

void ResetRegistry() {
  Registry& registry = TheRegistry();
  std::map<int, Provider> dropped;  // destroyed without the lock
  std::vector<Registered> unregistered;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    unregistered.swap(registry.registered);
    dropped.swap(registry.providers);
    registry.controlMode = ControlCompletion::kImmediate;
    registry.pathControlModes.clear();
    registry.driverInfoFailures.clear();
  }
}

int OpenDriverHandleCount() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  int total = 0;
  for (const auto& entry : registry.openHandles) total += entry.second;
  return total;
}

int OpenDriverHandleCount(const std::string& devicePath) {
  Registry& registry = TheRegistry();
  const std::string wanted = Lower(devicePath);
  std::lock_guard<std::mutex> guard(registry.lock);
  int total = 0;
  for (const auto& entry : registry.openHandles) {
    if (Lower(entry.first) == wanted) total += entry.second;
  }
  return total;
}

int LiveSessionCount() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  return registry.liveSessions;
}

std::string DevicePath(int instanceId) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  for (const Registered& entry : registry.registered) {
    if (entry.id == instanceId) return entry.path;
  }
  return "";
}

void SetControlCompletion(ControlCompletion mode) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.controlMode = mode;
}

void SetControlCompletion(const std::string& devicePath, ControlCompletion mode) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.pathControlModes[Lower(devicePath)] = mode;
}


int RegisterInstance(const usbdrv::InterfaceClass& interfaceClass,
                     std::shared_ptr<usbdrv::Instance> instance) {
  if (!instance) return 0;
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  PruneExpired(registry);
  const int id = registry.nextId++;
  const std::string path = PathOf(registry, instance, interfaceClass);
  registry.registered.push_back({id, interfaceClass, std::move(instance), path});
  return id;
}

void UnregisterInstance(int id) {
  Registry& registry = TheRegistry();
  std::shared_ptr<usbdrv::Instance> released;  // may be the last reference: dropped without the lock
  std::lock_guard<std::mutex> guard(registry.lock);
  auto& list = registry.registered;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->id == id) {
      released = std::move(it->instance);
      list.erase(it);
      break;
    }
  }
  // `released` is declared before the guard, so it is destroyed after the
  // lock is released.
}

void UnregisterAllInstances() {
  Registry& registry = TheRegistry();
  std::vector<Registered> released;
  std::lock_guard<std::mutex> guard(registry.lock);
  released.swap(registry.registered);
}

int AddProvider(Provider provider) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  const int id = registry.nextProviderId++;
  registry.providers.emplace(id, std::move(provider));
  return id;
}

void RemoveProvider(int id) {
  Registry& registry = TheRegistry();
  Provider released;
  std::lock_guard<std::mutex> guard(registry.lock);
  auto it = registry.providers.find(id);
  if (it != registry.providers.end()) {
    released = std::move(it->second);
    registry.providers.erase(it);
  }
}

bool AddBackend(int rank, Provider provider) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.backends.emplace(rank, std::move(provider));
  return true;
}

}  // namespace posixplat
