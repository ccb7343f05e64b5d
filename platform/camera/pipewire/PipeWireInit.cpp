#include "platform/camera/pipewire/PipeWireInit.h"

#include <pipewire/pipewire.h>

#include <mutex>

namespace tovrelle::pipewire {

void ensureInitialized() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace tovrelle::pipewire
