#include <xkbcommon/xkbcommon.h>

#include "platform/hotkeys/CarbonKeys.h"
#include "platform/hotkeys/ShortcutPortal.h"
#include "platform/hotkeys/x11/X11KeySyms.h"

namespace tovrelle::hotkeys {

std::string portalTrigger(uint32_t carbonKeyCode, uint32_t carbonModifiers) {
  const auto keysym = x11::keysymForCarbonKeyCode(carbonKeyCode);
  if (!keysym) return {};
  char name[64];
  if (xkb_keysym_get_name(*keysym, name, sizeof name) <= 0) return {};
  std::string trigger;
  if (carbonModifiers & carbon::controlKey) trigger += "CTRL+";
  if (carbonModifiers & carbon::optionKey) trigger += "ALT+";
  if (carbonModifiers & carbon::shiftKey) trigger += "SHIFT+";
  if (carbonModifiers & carbon::cmdKey) trigger += "LOGO+";
  return trigger + name;
}

}  // namespace tovrelle::hotkeys
