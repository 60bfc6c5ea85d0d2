#include "emulated_bus.h"

#include <stdlib.h>
#include <string.h>

namespace usbfs {

bool PreloadActive() {
  // umockdev_in_mock_environment() only answers true once a test bed exists,
  // so the preload is looked for directly.
  const char* preload = getenv("LD_PRELOAD");
  return preload != nullptr && strstr(preload, "libumockdev-preload") != nullptr;
}

Bus::Bus() : testbed_(umockdev_testbed_new()) {}

Bus::~Bus() { g_object_unref(testbed_); }

std::string Bus::RealPath(const std::string& path) const {
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  std::string real = std::string(root) + path;
  g_free(root);
  return real;
}

}  // namespace usbfs
