// The key table: every notation of a key leads back to the same stored code,
// and the stored numbers of the keys the app ships with stay as they are.
#include <gtest/gtest.h>

#include <QtCore/qnamespace.h>

#include "platform/hotkeys/KeyCodes.h"
#include "platform/hotkeys/ShortcutPortal.h"

namespace hotkeys = tovrelle::hotkeys;
namespace key = tovrelle::hotkeys::key;
namespace modifier = tovrelle::hotkeys::modifier;

TEST(KeyTable, EveryKeySymbolAndQtKeyLeadsBackToItsCode) {
  int keys = 0;
  for (uint32_t code = 0; code < 0x80; ++code) {
    const hotkeys::KeyInfo* info = hotkeys::keyInfo(code);
    if (!info) continue;
    ++keys;
    SCOPED_TRACE(code);
    EXPECT_EQ(info->code, code);
    if (info->keysym) {
      EXPECT_EQ(hotkeys::codeForKeysym(info->keysym), code);
    }
    if (info->otherKeysym) {
      EXPECT_EQ(hotkeys::codeForKeysym(info->otherKeysym), code);
    }
    if (info->qtKey) {
      EXPECT_EQ(hotkeys::codeForQtKey(info->qtKey, info->keypad), code);
    }
    if (info->shiftedQtKey) {
      EXPECT_EQ(hotkeys::codeForQtKey(info->shiftedQtKey, false), code);
    }
  }
  EXPECT_EQ(keys, 115);                                      // every code of key::Code
  EXPECT_EQ(hotkeys::codeForKeysym('Q'), uint32_t(key::q));  // upper case names the key too
  EXPECT_EQ(hotkeys::codeForQtKey(Qt::Key_Backtab, false), uint32_t(key::tab));
  EXPECT_EQ(hotkeys::codeForQtKey(Qt::Key_Enter, false), uint32_t(key::keypadEnter));
  EXPECT_EQ(hotkeys::codeForQtKey(Qt::Key_F21, false), std::nullopt);
}

TEST(KeyTable, StoredNumbersAndThePortalsNotation) {
  // Settings files hold these numbers.
  EXPECT_EQ(uint32_t(key::zero), 29u);
  EXPECT_EQ(uint32_t(key::one), 18u);
  EXPECT_EQ(uint32_t(key::two), 19u);
  EXPECT_EQ(modifier::control | modifier::alt | modifier::super, 6400u);
  EXPECT_EQ(modifier::shift, 0x200u);
  EXPECT_EQ(hotkeys::modifiersFromQt(Qt::ControlModifier | Qt::ShiftModifier | Qt::KeypadModifier),
            modifier::control | modifier::shift);

  EXPECT_EQ(hotkeys::portalTrigger(key::one, 6400), "CTRL+ALT+LOGO+1");
  EXPECT_EQ(hotkeys::portalTrigger(key::f5, modifier::all), "CTRL+ALT+SHIFT+LOGO+F5");
  EXPECT_EQ(hotkeys::portalTrigger(key::keypadEnter, modifier::shift), "SHIFT+KP_Enter");
  EXPECT_EQ(hotkeys::portalTrigger(key::fn, modifier::control), "");
  EXPECT_EQ(hotkeys::functionKeyNumber(key::f20), 20);
  EXPECT_EQ(hotkeys::functionKeyNumber(key::a), std::nullopt);
}
