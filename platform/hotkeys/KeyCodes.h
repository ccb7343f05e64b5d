#pragma once
// The one table of shortcut keys and modifiers. A shortcut is stored as a
// key code (a key position of a US keyboard) and a modifier mask; these
// numbers are what settings files hold and never change. Every other name of
// a key (its X key symbol, its Qt key, its text, the portal's trigger) comes
// from the table through the functions here.
//
// Reentrant: constant tables only.
#include <cstdint>
#include <optional>
#include <string>

namespace tovrelle::hotkeys {

namespace key {
enum Code : uint32_t {
  a = 0x00,
  s = 0x01,
  d = 0x02,
  f = 0x03,
  h = 0x04,
  g = 0x05,
  z = 0x06,
  x = 0x07,
  c = 0x08,
  v = 0x09,
  section = 0x0A,
  b = 0x0B,
  q = 0x0C,
  w = 0x0D,
  e = 0x0E,
  r = 0x0F,
  y = 0x10,
  t = 0x11,
  one = 0x12,
  two = 0x13,
  three = 0x14,
  four = 0x15,
  six = 0x16,
  five = 0x17,
  equal = 0x18,
  nine = 0x19,
  seven = 0x1A,
  minus = 0x1B,
  eight = 0x1C,
  zero = 0x1D,
  rightBracket = 0x1E,
  o = 0x1F,
  u = 0x20,
  leftBracket = 0x21,
  i = 0x22,
  p = 0x23,
  returnKey = 0x24,
  l = 0x25,
  j = 0x26,
  quote = 0x27,
  k = 0x28,
  semicolon = 0x29,
  backslash = 0x2A,
  comma = 0x2B,
  slash = 0x2C,
  n = 0x2D,
  m = 0x2E,
  period = 0x2F,
  tab = 0x30,
  space = 0x31,
  grave = 0x32,
  backspace = 0x33,
  escape = 0x35,
  rightSuper = 0x36,
  super = 0x37,
  shift = 0x38,
  capsLock = 0x39,
  alt = 0x3A,
  control = 0x3B,
  rightShift = 0x3C,
  rightAlt = 0x3D,
  rightControl = 0x3E,
  fn = 0x3F,
  f17 = 0x40,
  keypadDecimal = 0x41,
  keypadMultiply = 0x43,
  keypadPlus = 0x45,
  keypadClear = 0x47,
  volumeUp = 0x48,
  volumeDown = 0x49,
  mute = 0x4A,
  keypadDivide = 0x4B,
  keypadEnter = 0x4C,
  keypadMinus = 0x4E,
  f18 = 0x4F,
  f19 = 0x50,
  keypadEquals = 0x51,
  keypad0 = 0x52,
  keypad1 = 0x53,
  keypad2 = 0x54,
  keypad3 = 0x55,
  keypad4 = 0x56,
  keypad5 = 0x57,
  keypad6 = 0x58,
  keypad7 = 0x59,
  f20 = 0x5A,
  keypad8 = 0x5B,
  keypad9 = 0x5C,
  f5 = 0x60,
  f6 = 0x61,
  f7 = 0x62,
  f3 = 0x63,
  f8 = 0x64,
  f9 = 0x65,
  f11 = 0x67,
  f13 = 0x69,
  f16 = 0x6A,
  f14 = 0x6B,
  f10 = 0x6D,
  menu = 0x6E,
  f12 = 0x6F,
  f15 = 0x71,
  help = 0x72,
  home = 0x73,
  pageUp = 0x74,
  deleteKey = 0x75,
  f4 = 0x76,
  end = 0x77,
  f2 = 0x78,
  pageDown = 0x79,
  f1 = 0x7A,
  left = 0x7B,
  right = 0x7C,
  down = 0x7D,
  up = 0x7E,
};
}  // namespace key

// Modifier bits of the stored mask.
namespace modifier {
inline constexpr uint32_t super = 0x100;
inline constexpr uint32_t shift = 0x200;
inline constexpr uint32_t alt = 0x800;
inline constexpr uint32_t control = 0x1000;
inline constexpr uint32_t all = super | shift | alt | control;
}  // namespace modifier

// One key of the table.
struct KeyInfo {
  uint32_t code;
  uint32_t keysym;       // its unshifted X key symbol; 0: none
  uint32_t otherKeysym;  // a keypad key's symbol while Num Lock is off; 0: none
  int qtKey;             // the Qt key it types unshifted (on the keypad: with the keypad flag); 0: none
  int otherQtKey;        // another Qt key that names it (Backtab, the keypad's comma); 0: none
  int shiftedQtKey;      // what it types with Shift on a US layout; 0: none
  const char* symbol;    // a symbol shown for it instead of a character; nullptr: none
  bool keypad;           // on the numeric pad
  bool namedByQt;        // shown by its word name ("Home", "Esc"), which Qt translates
};

// None for codes outside the table.
const KeyInfo* keyInfo(uint32_t code);

// The code of a key symbol; upper-case letters and the keypad's Num Lock-off
// symbols name their keys too.
std::optional<uint32_t> codeForKeysym(uint32_t keysym);
// The code of a Qt key; `keypad`: the event carried the keypad flag. Keys
// that only carry the typed symbol are taken at a US layout's shifted level.
std::optional<uint32_t> codeForQtKey(int qtKey, bool keypad);

// 1 to 20 for the function keys F1 to F20, none for every other key.
std::optional<int> functionKeyNumber(uint32_t code);

// One modifier in every notation, in the order shortcuts show them.
struct ModifierInfo {
  uint32_t bit;            // in the stored mask
  int qtModifier;          // Qt::KeyboardModifier
  uint16_t xMask;          // core X modifier mask
  const char* text;        // "Ctrl", as Linux desktops write it
  const char* portalName;  // "CTRL", as the portal's triggers write it
};
inline constexpr int kModifierCount = 4;
const ModifierInfo* modifiers();  // kModifierCount of them: Ctrl, Alt, Shift, Super

// The stored mask of Qt modifiers; the keypad flag and others do not count.
uint32_t modifiersFromQt(int qtModifiers);

}  // namespace tovrelle::hotkeys
