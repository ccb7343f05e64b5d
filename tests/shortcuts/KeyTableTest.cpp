// The key-code table behind X11 registration and the desktop portal's names.
#include <gtest/gtest.h>

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

#include "platform/hotkeys/CarbonKeys.h"
#include "platform/hotkeys/ShortcutPortal.h"
#include "platform/hotkeys/x11/X11KeySyms.h"

namespace carbon = tovrelle::hotkeys::carbon;
using namespace tovrelle::hotkeys::x11;

TEST(KeyTable, EveryMappedKeyCodeComesBackFromItsSymbol) {
  int mapped = 0;
  for (uint32_t code = 0; code < 0x80; ++code) {
    auto keysym = keysymForCarbonKeyCode(code);
    if (!keysym) continue;
    ++mapped;
    EXPECT_EQ(carbonKeyCodeForKeysym(*keysym), code) << "key code " << code;
  }
  EXPECT_GT(mapped, 110);
  EXPECT_EQ(carbonKeyCodeForKeysym(XK_Q), uint32_t(carbon::q));
  EXPECT_EQ(carbonKeyCodeForKeysym(XK_KP_End), uint32_t(carbon::keypad1));
  for (int n = 1; n <= 20; ++n) EXPECT_EQ(keysymForCarbonKeyCode(*carbon::functionKeyCode(n)), uint32_t(XK_F1 + n - 1));
}

TEST(KeyTable, PortalTriggersUseTheShortcutSpecNames) {
  using tovrelle::hotkeys::portalTrigger;
  EXPECT_EQ(portalTrigger(carbon::one, 6400), "CTRL+ALT+LOGO+1");
  EXPECT_EQ(portalTrigger(carbon::a, carbon::allModifiers), "CTRL+ALT+SHIFT+LOGO+a");
  EXPECT_EQ(portalTrigger(carbon::f12, 0), "F12");
  EXPECT_EQ(portalTrigger(carbon::deleteKey, carbon::controlKey), "CTRL+BackSpace");
  EXPECT_EQ(portalTrigger(0x44, carbon::controlKey), "");  // no key there
}
