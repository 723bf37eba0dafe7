#include "retrieval/connectivity.h"

#include <cstdint>

#include "platform/registry.h"

namespace nubrel {

bool IsCradled() {
  platform::RegistryKey hardware;
  if (platform::RegistryOpenKey(platform::RegistryRoot::kLocalMachine, u"System\\State\\Hardware",
                                hardware) != 0) {
    return false;
  }
  uint32_t cradled = 0;
  return platform::RegistryReadDword(hardware, u"Cradled", cradled) == 0 && cradled != 0;
}

}  // namespace nubrel
