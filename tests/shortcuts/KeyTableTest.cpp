// The key-code table behind X11 registration.
#include <gtest/gtest.h>

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

#include "platform/hotkeys/CarbonKeys.h"
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
}

TEST(KeyTable, KnownPositions) {
  EXPECT_EQ(keysymForCarbonKeyCode(carbon::zero), uint32_t(XK_0));
  EXPECT_EQ(keysymForCarbonKeyCode(29), uint32_t(XK_0));
  EXPECT_EQ(keysymForCarbonKeyCode(18), uint32_t(XK_1));
  EXPECT_EQ(keysymForCarbonKeyCode(19), uint32_t(XK_2));
  EXPECT_EQ(keysymForCarbonKeyCode(0x35), uint32_t(XK_Escape));
  EXPECT_EQ(keysymForCarbonKeyCode(0x6F), uint32_t(XK_F12));
  EXPECT_EQ(keysymForCarbonKeyCode(0x33), uint32_t(XK_BackSpace));
  EXPECT_EQ(keysymForCarbonKeyCode(0x75), uint32_t(XK_Delete));
  EXPECT_EQ(keysymForCarbonKeyCode(0x44), std::nullopt);  // no key there
  // Upper-case letters and the keypad's Num-Lock-off level name the same keys.
  EXPECT_EQ(carbonKeyCodeForKeysym(XK_Q), uint32_t(carbon::q));
  EXPECT_EQ(carbonKeyCodeForKeysym(XK_KP_End), uint32_t(carbon::keypad1));
  EXPECT_EQ(carbonKeyCodeForKeysym(XK_End), uint32_t(carbon::end));
  EXPECT_EQ(carbonKeyCodeForKeysym(XK_exclam), std::nullopt);
}

TEST(KeyTable, FunctionKeys) {
  for (int n = 1; n <= 20; ++n) {
    auto code = carbon::functionKeyCode(n);
    ASSERT_TRUE(code);
    EXPECT_EQ(carbon::functionKeyNumber(*code), n);
    EXPECT_EQ(keysymForCarbonKeyCode(*code), uint32_t(XK_F1 + n - 1));
  }
  EXPECT_EQ(carbon::functionKeyCode(21), std::nullopt);
  EXPECT_EQ(carbon::functionKeyNumber(carbon::a), std::nullopt);
}
