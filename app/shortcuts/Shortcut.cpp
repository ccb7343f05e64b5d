// Shortcut values: conversion from Qt key events, the stored JSON text and
// the text shown for a shortcut.
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyCombination>
#include <QKeyEvent>
#include <cmath>
#include <limits>

#include "app/shortcuts/KeyboardShortcuts.h"
#include "app/shortcuts/RecorderCocoa.h"

namespace KeyboardShortcuts {
namespace {

using namespace tovrelle::hotkeys::carbon;

struct QtKeyEntry {
  int qtKey;
  uint32_t keyCode;
};

// Keys by what they type unshifted on a US layout.
constexpr QtKeyEntry kQtKeys[] = {
    {Qt::Key_A, a}, {Qt::Key_B, b}, {Qt::Key_C, c}, {Qt::Key_D, d}, {Qt::Key_E, e}, {Qt::Key_F, f},
    {Qt::Key_G, g}, {Qt::Key_H, h}, {Qt::Key_I, i}, {Qt::Key_J, j}, {Qt::Key_K, k}, {Qt::Key_L, l},
    {Qt::Key_M, m}, {Qt::Key_N, n}, {Qt::Key_O, o}, {Qt::Key_P, p}, {Qt::Key_Q, q}, {Qt::Key_R, r},
    {Qt::Key_S, s}, {Qt::Key_T, t}, {Qt::Key_U, u}, {Qt::Key_V, v}, {Qt::Key_W, w}, {Qt::Key_X, x},
    {Qt::Key_Y, y}, {Qt::Key_Z, z}, {Qt::Key_0, zero}, {Qt::Key_1, one}, {Qt::Key_2, two},
    {Qt::Key_3, three}, {Qt::Key_4, four}, {Qt::Key_5, five}, {Qt::Key_6, six}, {Qt::Key_7, seven},
    {Qt::Key_8, eight}, {Qt::Key_9, nine}, {Qt::Key_Equal, equal}, {Qt::Key_Minus, minus},
    {Qt::Key_BracketRight, rightBracket}, {Qt::Key_BracketLeft, leftBracket},
    {Qt::Key_Apostrophe, quote}, {Qt::Key_Semicolon, semicolon}, {Qt::Key_Backslash, backslash},
    {Qt::Key_Comma, comma}, {Qt::Key_Slash, slash}, {Qt::Key_Period, period},
    {Qt::Key_QuoteLeft, grave}, {Qt::Key_section, isoSection}, {Qt::Key_Return, returnKey},
    {Qt::Key_Tab, tab}, {Qt::Key_Backtab, tab}, {Qt::Key_Space, space},
    {Qt::Key_Backspace, deleteKey}, {Qt::Key_Escape, escape}, {Qt::Key_Delete, forwardDelete},
    {Qt::Key_Home, home}, {Qt::Key_End, end}, {Qt::Key_PageUp, pageUp}, {Qt::Key_PageDown, pageDown},
    {Qt::Key_Left, leftArrow}, {Qt::Key_Right, rightArrow}, {Qt::Key_Down, downArrow},
    {Qt::Key_Up, upArrow}, {Qt::Key_Help, help}, {Qt::Key_Menu, contextualMenu},
    {Qt::Key_Clear, keypadClear}, {Qt::Key_Enter, keypadEnter}, {Qt::Key_VolumeUp, volumeUp},
    {Qt::Key_VolumeDown, volumeDown}, {Qt::Key_VolumeMute, mute},
};

// Events that only carry the typed symbol: a US layout's shifted level.
constexpr QtKeyEntry kShiftedQtKeys[] = {
    {Qt::Key_Exclam, one},         {Qt::Key_At, two},          {Qt::Key_NumberSign, three},
    {Qt::Key_Dollar, four},        {Qt::Key_Percent, five},    {Qt::Key_AsciiCircum, six},
    {Qt::Key_Ampersand, seven},    {Qt::Key_Asterisk, eight},  {Qt::Key_ParenLeft, nine},
    {Qt::Key_ParenRight, zero},    {Qt::Key_Underscore, minus}, {Qt::Key_Plus, equal},
    {Qt::Key_BraceLeft, leftBracket}, {Qt::Key_BraceRight, rightBracket}, {Qt::Key_Bar, backslash},
    {Qt::Key_Colon, semicolon},    {Qt::Key_QuoteDbl, quote},  {Qt::Key_Less, comma},
    {Qt::Key_Greater, period},     {Qt::Key_Question, slash},  {Qt::Key_AsciiTilde, grave},
};

constexpr QtKeyEntry kKeypadQtKeys[] = {
    {Qt::Key_0, keypad0}, {Qt::Key_1, keypad1}, {Qt::Key_2, keypad2}, {Qt::Key_3, keypad3},
    {Qt::Key_4, keypad4}, {Qt::Key_5, keypad5}, {Qt::Key_6, keypad6}, {Qt::Key_7, keypad7},
    {Qt::Key_8, keypad8}, {Qt::Key_9, keypad9}, {Qt::Key_Asterisk, keypadMultiply},
    {Qt::Key_Plus, keypadPlus}, {Qt::Key_Minus, keypadMinus}, {Qt::Key_Slash, keypadDivide},
    {Qt::Key_Period, keypadDecimal}, {Qt::Key_Comma, keypadDecimal}, {Qt::Key_Equal, keypadEquals},
    {Qt::Key_Enter, keypadEnter}, {Qt::Key_Clear, keypadClear},
};

template <size_t N>
std::optional<uint32_t> lookUp(const QtKeyEntry (&table)[N], int qtKey) {
  for (const QtKeyEntry& entry : table) {
    if (entry.qtKey == qtKey) return entry.keyCode;
  }
  return std::nullopt;
}

template <size_t N>
std::optional<int> qtKeyFor(const QtKeyEntry (&table)[N], uint32_t keyCode) {
  for (const QtKeyEntry& entry : table) {
    if (entry.keyCode == keyCode) return entry.qtKey;
  }
  return std::nullopt;
}

std::optional<uint32_t> keyCodeForQtKey(int qtKey, bool keypad) {
  if (keypad) {
    if (auto code = lookUp(kKeypadQtKeys, qtKey)) return code;
  }
  if (auto code = lookUp(kQtKeys, qtKey)) return code;
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F20) return functionKeyCode(qtKey - Qt::Key_F1 + 1);
  return lookUp(kShiftedQtKeys, qtKey);
}

ModifierFlags flagsFromQt(Qt::KeyboardModifiers modifiers) {
  ModifierFlags flags = 0;
  if (modifiers & Qt::ShiftModifier) flags |= ModifierFlag::shift;
  if (modifiers & Qt::ControlModifier) flags |= ModifierFlag::control;
  if (modifiers & Qt::AltModifier) flags |= ModifierFlag::option;
  // The Super key: Command's place on a PC keyboard.
  if (modifiers & Qt::MetaModifier) flags |= ModifierFlag::command;
  if (modifiers & Qt::KeypadModifier) flags |= ModifierFlag::numericPad;
  return flags;
}

std::optional<QString> specialKeyText(uint32_t keyCode) {
  switch (keyCode) {
    case returnKey: return QStringLiteral("↩");
    case tab: return QStringLiteral("⇥");
    case space: return QStringLiteral("␣");
    case deleteKey: return QStringLiteral("⌫");
    case escape: return QStringLiteral("⎋");
    case forwardDelete: return QStringLiteral("⌦");
    case home: return QStringLiteral("↖");
    case end: return QStringLiteral("↘");
    case pageUp: return QStringLiteral("⇞");
    case pageDown: return QStringLiteral("⇟");
    case leftArrow: return QStringLiteral("←");
    case rightArrow: return QStringLiteral("→");
    case downArrow: return QStringLiteral("↓");
    case upArrow: return QStringLiteral("↑");
    case keypadEnter: return QStringLiteral("⌤");
    case keypadClear: return QStringLiteral("⌧");
    case help: return QStringLiteral("⍰");
    case contextualMenu: return QStringLiteral("≣");
    case volumeUp: return QStringLiteral("🔊");
    case volumeDown: return QStringLiteral("🔉");
    case mute: return QStringLiteral("🔇");
    case capsLock: return QStringLiteral("⇪");
    case command: case rightCommand: return QStringLiteral("⌘");
    case shift: case rightShift: return QStringLiteral("⇧");
    case option: case rightOption: return QStringLiteral("⌥");
    case control: case rightControl: return QStringLiteral("⌃");
    default: return std::nullopt;
  }
}

bool isKeypadKey(uint32_t keyCode) { return qtKeyFor(kKeypadQtKeys, keyCode).has_value(); }

std::optional<int> integerMember(const QJsonObject& object, const char* name) {
  const QJsonValue value = object.value(QLatin1String(name));
  if (!value.isDouble()) return std::nullopt;
  const double number = value.toDouble();
  if (std::floor(number) != number || number < std::numeric_limits<int>::min() ||
      number > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(number);
}

}  // namespace

int carbonModifiers(ModifierFlags flags) {
  int result = 0;
  if (flags & ModifierFlag::command) result |= cmdKey;
  if (flags & ModifierFlag::shift) result |= shiftKey;
  if (flags & ModifierFlag::option) result |= optionKey;
  if (flags & ModifierFlag::control) result |= controlKey;
  return result;
}

ModifierFlags modifierFlags(int carbon) {
  ModifierFlags flags = 0;
  if (carbon & cmdKey) flags |= ModifierFlag::command;
  if (carbon & shiftKey) flags |= ModifierFlag::shift;
  if (carbon & optionKey) flags |= ModifierFlag::option;
  if (carbon & controlKey) flags |= ModifierFlag::control;
  return flags;
}

QString keyText(Key key) {
  const auto keyCode = static_cast<uint32_t>(key.rawValue);
  if (auto special = specialKeyText(keyCode)) return *special;
  if (auto number = functionKeyNumber(keyCode)) return QStringLiteral("F%1").arg(*number);
  if (isKeypadKey(keyCode)) return QString(QChar(*qtKeyFor(kKeypadQtKeys, keyCode)));
  if (auto character = hotKeyCenter().characterForKeyCode(keyCode)) {
    const char32_t c = *character;
    return QString::fromUcs4(&c, 1).toUpper();
  }
  if (auto qtKey = qtKeyFor(kQtKeys, keyCode); qtKey && *qtKey < 0x7f) return QString(QChar(*qtKey));
  if (keyCode == isoSection) return QStringLiteral("§");
  return {};
}

std::optional<Shortcut> Shortcut::fromKeyEvent(const QKeyEvent& event) {
  std::optional<uint32_t> keyCode;
  // A real key press names the physical key; the symbol it typed depends on Shift.
  if (event.nativeScanCode() != 0) keyCode = hotKeyCenter().carbonKeyCodeForScanCode(event.nativeScanCode());
  if (!keyCode) keyCode = keyCodeForQtKey(event.key(), event.modifiers() & Qt::KeypadModifier);
  if (!keyCode) return std::nullopt;
  return Shortcut(static_cast<int>(*keyCode), KeyboardShortcuts::carbonModifiers(flagsFromQt(event.modifiers())));
}

std::optional<Shortcut> Shortcut::fromKeyCombination(QKeyCombination combination) {
  auto keyCode = keyCodeForQtKey(combination.key(), combination.keyboardModifiers() & Qt::KeypadModifier);
  if (!keyCode) return std::nullopt;
  return Shortcut(static_cast<int>(*keyCode),
                  KeyboardShortcuts::carbonModifiers(flagsFromQt(combination.keyboardModifiers())));
}

QString Shortcut::toJSON() const {
  QJsonObject object;
  object.insert(QStringLiteral("carbonKeyCode"), carbonKeyCode);
  object.insert(QStringLiteral("carbonModifiers"), carbonModifiers);
  return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

std::optional<Shortcut> Shortcut::fromJSON(const QString& text) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
  const QJsonObject object = document.object();
  auto keyCode = integerMember(object, "carbonKeyCode");
  auto modifiers = integerMember(object, "carbonModifiers");
  if (!keyCode || !modifiers) return std::nullopt;
  return Shortcut(*keyCode, *modifiers);
}

QString Shortcut::description() const { return shortcutText(*this); }

}  // namespace KeyboardShortcuts
