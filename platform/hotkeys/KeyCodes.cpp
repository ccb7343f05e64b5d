#include "platform/hotkeys/KeyCodes.h"

#include <QtCore/qnamespace.h>
#include <xcb/xproto.h>

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/XF86keysym.h>
#include <X11/keysymdef.h>

namespace tovrelle::hotkeys {
namespace {

using namespace key;

constexpr KeyInfo plain(uint32_t code, uint32_t keysym, int qtKey, int shiftedQtKey = 0) {
  return {code, keysym, 0, qtKey, 0, shiftedQtKey, nullptr, false, false};
}
constexpr KeyInfo named(uint32_t code, uint32_t keysym, int qtKey, const char* symbol, int otherQtKey = 0) {
  return {code, keysym, 0, qtKey, otherQtKey, 0, symbol, false, true};
}
constexpr KeyInfo pad(uint32_t code, uint32_t keysym, uint32_t numLockOff, int qtKey, int otherQtKey = 0) {
  return {code, keysym, numLockOff, qtKey, otherQtKey, 0, nullptr, true, false};
}
// Enter and Clear exist on the keypad only: Qt names them without the keypad flag too.
constexpr KeyInfo namedPad(uint32_t code, uint32_t keysym, int qtKey, const char* symbol) {
  return {code, keysym, 0, qtKey, 0, 0, symbol, true, true};
}
constexpr KeyInfo modifierKey(uint32_t code, uint32_t keysym, const char* symbol) {
  return {code, keysym, 0, 0, 0, 0, symbol, false, false};
}

constexpr KeyInfo kKeys[] = {
    plain(a, XK_a, Qt::Key_A),
    plain(b, XK_b, Qt::Key_B),
    plain(c, XK_c, Qt::Key_C),
    plain(d, XK_d, Qt::Key_D),
    plain(e, XK_e, Qt::Key_E),
    plain(f, XK_f, Qt::Key_F),
    plain(g, XK_g, Qt::Key_G),
    plain(h, XK_h, Qt::Key_H),
    plain(i, XK_i, Qt::Key_I),
    plain(j, XK_j, Qt::Key_J),
    plain(k, XK_k, Qt::Key_K),
    plain(l, XK_l, Qt::Key_L),
    plain(m, XK_m, Qt::Key_M),
    plain(n, XK_n, Qt::Key_N),
    plain(o, XK_o, Qt::Key_O),
    plain(p, XK_p, Qt::Key_P),
    plain(q, XK_q, Qt::Key_Q),
    plain(r, XK_r, Qt::Key_R),
    plain(s, XK_s, Qt::Key_S),
    plain(t, XK_t, Qt::Key_T),
    plain(u, XK_u, Qt::Key_U),
    plain(v, XK_v, Qt::Key_V),
    plain(w, XK_w, Qt::Key_W),
    plain(x, XK_x, Qt::Key_X),
    plain(y, XK_y, Qt::Key_Y),
    plain(z, XK_z, Qt::Key_Z),
    plain(one, XK_1, Qt::Key_1, Qt::Key_Exclam),
    plain(two, XK_2, Qt::Key_2, Qt::Key_At),
    plain(three, XK_3, Qt::Key_3, Qt::Key_NumberSign),
    plain(four, XK_4, Qt::Key_4, Qt::Key_Dollar),
    plain(five, XK_5, Qt::Key_5, Qt::Key_Percent),
    plain(six, XK_6, Qt::Key_6, Qt::Key_AsciiCircum),
    plain(seven, XK_7, Qt::Key_7, Qt::Key_Ampersand),
    plain(eight, XK_8, Qt::Key_8, Qt::Key_Asterisk),
    plain(nine, XK_9, Qt::Key_9, Qt::Key_ParenLeft),
    plain(zero, XK_0, Qt::Key_0, Qt::Key_ParenRight),
    plain(equal, XK_equal, Qt::Key_Equal, Qt::Key_Plus),
    plain(minus, XK_minus, Qt::Key_Minus, Qt::Key_Underscore),
    plain(rightBracket, XK_bracketright, Qt::Key_BracketRight, Qt::Key_BraceRight),
    plain(leftBracket, XK_bracketleft, Qt::Key_BracketLeft, Qt::Key_BraceLeft),
    plain(quote, XK_apostrophe, Qt::Key_Apostrophe, Qt::Key_QuoteDbl),
    plain(semicolon, XK_semicolon, Qt::Key_Semicolon, Qt::Key_Colon),
    plain(backslash, XK_backslash, Qt::Key_Backslash, Qt::Key_Bar),
    plain(comma, XK_comma, Qt::Key_Comma, Qt::Key_Less),
    plain(slash, XK_slash, Qt::Key_Slash, Qt::Key_Question),
    plain(period, XK_period, Qt::Key_Period, Qt::Key_Greater),
    plain(grave, XK_grave, Qt::Key_QuoteLeft, Qt::Key_AsciiTilde),
    plain(section, XK_section, Qt::Key_section),

    named(returnKey, XK_Return, Qt::Key_Return, "↩"),
    named(tab, XK_Tab, Qt::Key_Tab, "⇥", Qt::Key_Backtab),
    named(space, XK_space, Qt::Key_Space, "␣"),
    named(backspace, XK_BackSpace, Qt::Key_Backspace, "⌫"),
    named(escape, XK_Escape, Qt::Key_Escape, "⎋"),
    named(deleteKey, XK_Delete, Qt::Key_Delete, "⌦"),
    named(home, XK_Home, Qt::Key_Home, "↖"),
    named(end, XK_End, Qt::Key_End, "↘"),
    named(pageUp, XK_Prior, Qt::Key_PageUp, "⇞"),
    named(pageDown, XK_Next, Qt::Key_PageDown, "⇟"),
    named(left, XK_Left, Qt::Key_Left, "←"),
    named(right, XK_Right, Qt::Key_Right, "→"),
    named(down, XK_Down, Qt::Key_Down, "↓"),
    named(up, XK_Up, Qt::Key_Up, "↑"),
    named(help, XK_Help, Qt::Key_Help, "⍰"),
    named(menu, XK_Menu, Qt::Key_Menu, "≣"),
    named(capsLock, XK_Caps_Lock, Qt::Key_CapsLock, "⇪"),
    named(volumeUp, XF86XK_AudioRaiseVolume, Qt::Key_VolumeUp, "🔊"),
    named(volumeDown, XF86XK_AudioLowerVolume, Qt::Key_VolumeDown, "🔉"),
    named(mute, XF86XK_AudioMute, Qt::Key_VolumeMute, "🔇"),

    namedPad(keypadEnter, XK_KP_Enter, Qt::Key_Enter, "⌤"),
    namedPad(keypadClear, XK_Clear, Qt::Key_Clear, "⌧"),
    pad(keypad0, XK_KP_0, XK_KP_Insert, Qt::Key_0),
    pad(keypad1, XK_KP_1, XK_KP_End, Qt::Key_1),
    pad(keypad2, XK_KP_2, XK_KP_Down, Qt::Key_2),
    pad(keypad3, XK_KP_3, XK_KP_Next, Qt::Key_3),
    pad(keypad4, XK_KP_4, XK_KP_Left, Qt::Key_4),
    pad(keypad5, XK_KP_5, XK_KP_Begin, Qt::Key_5),
    pad(keypad6, XK_KP_6, XK_KP_Right, Qt::Key_6),
    pad(keypad7, XK_KP_7, XK_KP_Home, Qt::Key_7),
    pad(keypad8, XK_KP_8, XK_KP_Up, Qt::Key_8),
    pad(keypad9, XK_KP_9, XK_KP_Prior, Qt::Key_9),
    pad(keypadDecimal, XK_KP_Decimal, XK_KP_Delete, Qt::Key_Period, Qt::Key_Comma),
    pad(keypadMultiply, XK_KP_Multiply, 0, Qt::Key_Asterisk),
    pad(keypadPlus, XK_KP_Add, 0, Qt::Key_Plus),
    pad(keypadMinus, XK_KP_Subtract, 0, Qt::Key_Minus),
    pad(keypadDivide, XK_KP_Divide, 0, Qt::Key_Slash),
    pad(keypadEquals, XK_KP_Equal, 0, Qt::Key_Equal),

    plain(f1, XK_F1, Qt::Key_F1),
    plain(f2, XK_F2, Qt::Key_F2),
    plain(f3, XK_F3, Qt::Key_F3),
    plain(f4, XK_F4, Qt::Key_F4),
    plain(f5, XK_F5, Qt::Key_F5),
    plain(f6, XK_F6, Qt::Key_F6),
    plain(f7, XK_F7, Qt::Key_F7),
    plain(f8, XK_F8, Qt::Key_F8),
    plain(f9, XK_F9, Qt::Key_F9),
    plain(f10, XK_F10, Qt::Key_F10),
    plain(f11, XK_F11, Qt::Key_F11),
    plain(f12, XK_F12, Qt::Key_F12),
    plain(f13, XK_F13, Qt::Key_F13),
    plain(f14, XK_F14, Qt::Key_F14),
    plain(f15, XK_F15, Qt::Key_F15),
    plain(f16, XK_F16, Qt::Key_F16),
    plain(f17, XK_F17, Qt::Key_F17),
    plain(f18, XK_F18, Qt::Key_F18),
    plain(f19, XK_F19, Qt::Key_F19),
    plain(f20, XK_F20, Qt::Key_F20),

    modifierKey(super, XK_Super_L, "Super"),
    modifierKey(rightSuper, XK_Super_R, "Super"),
    modifierKey(shift, XK_Shift_L, "Shift"),
    modifierKey(rightShift, XK_Shift_R, "Shift"),
    modifierKey(alt, XK_Alt_L, "Alt"),
    modifierKey(rightAlt, XK_Alt_R, "Alt"),
    modifierKey(control, XK_Control_L, "Ctrl"),
    modifierKey(rightControl, XK_Control_R, "Ctrl"),
    modifierKey(fn, 0, nullptr),
};

constexpr ModifierInfo kModifiers[kModifierCount] = {
    {modifier::control, Qt::ControlModifier, XCB_MOD_MASK_CONTROL, "Ctrl", "CTRL"},
    {modifier::alt, Qt::AltModifier, XCB_MOD_MASK_1, "Alt", "ALT"},
    {modifier::shift, Qt::ShiftModifier, XCB_MOD_MASK_SHIFT, "Shift", "SHIFT"},
    // The key with the logo.
    {modifier::super, Qt::MetaModifier, XCB_MOD_MASK_4, "Super", "LOGO"},
};

}  // namespace

const KeyInfo* keyInfo(uint32_t code) {
  for (const KeyInfo& info : kKeys) {
    if (info.code == code) return &info;
  }
  return nullptr;
}

std::optional<uint32_t> codeForKeysym(uint32_t keysym) {
  if (keysym >= XK_A && keysym <= XK_Z) keysym += XK_a - XK_A;
  if (keysym == 0) return std::nullopt;
  for (const KeyInfo& info : kKeys) {
    if (info.keysym == keysym) return info.code;
  }
  for (const KeyInfo& info : kKeys) {
    if (info.otherKeysym == keysym) return info.code;
  }
  return std::nullopt;
}

std::optional<uint32_t> codeForQtKey(int qtKey, bool keypad) {
  if (qtKey == 0) return std::nullopt;
  auto names = [qtKey](const KeyInfo& info) { return info.qtKey == qtKey || info.otherQtKey == qtKey; };
  if (keypad) {
    for (const KeyInfo& info : kKeys) {
      if (info.keypad && names(info)) return info.code;
    }
  }
  for (const KeyInfo& info : kKeys) {
    if ((!info.keypad || info.namedByQt) && names(info)) return info.code;
  }
  for (const KeyInfo& info : kKeys) {
    if (info.shiftedQtKey == qtKey) return info.code;
  }
  return std::nullopt;
}

std::optional<int> functionKeyNumber(uint32_t code) {
  const KeyInfo* info = keyInfo(code);
  if (!info || info->qtKey < Qt::Key_F1 || info->qtKey > Qt::Key_F20) return std::nullopt;
  return info->qtKey - Qt::Key_F1 + 1;
}

const ModifierInfo* modifiers() { return kModifiers; }

uint32_t modifiersFromQt(int qtModifiers) {
  uint32_t mask = 0;
  for (const ModifierInfo& info : kModifiers) {
    if (qtModifiers & info.qtModifier) mask |= info.bit;
  }
  return mask;
}

}  // namespace tovrelle::hotkeys
