#include <xkbcommon/xkbcommon.h>

#include "platform/hotkeys/KeyCodes.h"
#include "platform/hotkeys/ShortcutPortal.h"

namespace tovrelle::hotkeys {

std::string portalTrigger(uint32_t keyCode, uint32_t modifiers) {
  const KeyInfo* info = keyInfo(keyCode);
  if (!info || info->keysym == 0) return {};
  char name[64];
  if (xkb_keysym_get_name(info->keysym, name, sizeof name) <= 0) return {};
  std::string trigger;
  for (int i = 0; i < kModifierCount; ++i) {
    if (modifiers & hotkeys::modifiers()[i].bit) trigger += std::string(hotkeys::modifiers()[i].portalName) + "+";
  }
  return trigger + name;
}

}  // namespace tovrelle::hotkeys
