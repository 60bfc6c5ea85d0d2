// Test hooks that span several parts of the layer.
#include "posixplat/testing.h"

#include "driver/registry.h"
#include "kernel.h"

namespace posixplat {

void Reset() {
  ResetRegistry();
  ResetSetupApi();
  ClearDebugOutput();
  SetConsoleOutput(-1);
}

int OpenHandleCount() { return HandleCount(); }

}  // namespace posixplat
