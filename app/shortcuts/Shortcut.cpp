// Shortcut values: the shortcut of a Qt key event and the text shown for it,
// both read off the key table.
#include <QCoreApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QStringList>

#include "app/shortcuts/KeyboardShortcuts.h"

namespace KeyboardShortcuts {

namespace hotkeys = tovrelle::hotkeys;

QString keyText(int keyCode, const hotkeys::HotKeyCenter& keyboard) {
  const auto code = static_cast<uint32_t>(keyCode);
  const hotkeys::KeyInfo* info = hotkeys::keyInfo(code);
  if (!info) return {};
  if (info->symbol) return QString::fromUtf8(info->symbol);
  if (auto number = hotkeys::functionKeyNumber(code)) return QStringLiteral("F%1").arg(*number);
  if (info->keypad) return QString(QChar(info->qtKey));
  if (auto character = keyboard.characterForKeyCode(code)) {
    const char32_t c = *character;
    return QString::fromUcs4(&c, 1).toUpper();
  }
  // Unknown to the layout: what the key types on a US one.
  if (info->qtKey > 0 && info->qtKey <= 0xff) return QString(QChar(info->qtKey));
  return {};
}

std::optional<Shortcut> shortcutOf(const QKeyEvent& event, const hotkeys::HotKeyCenter& keyboard) {
  std::optional<uint32_t> keyCode;
  // A real key press names the physical key; the symbol it typed depends on Shift.
  if (event.nativeScanCode() != 0) keyCode = keyboard.keyCodeForScanCode(event.nativeScanCode());
  if (!keyCode) keyCode = hotkeys::codeForQtKey(event.key(), event.modifiers() & Qt::KeypadModifier);
  if (!keyCode) return std::nullopt;
  return Shortcut(static_cast<int>(*keyCode), static_cast<int>(hotkeys::modifiersFromQt(event.modifiers())));
}

QString describe(const Shortcut& shortcut, const hotkeys::HotKeyCenter& keyboard) {
  QStringList parts;
  for (int i = 0; i < hotkeys::kModifierCount; ++i) {
    const hotkeys::ModifierInfo& modifier = hotkeys::modifiers()[i];
    //: Modifier key names in shortcuts
    if (static_cast<uint32_t>(shortcut.modifiers) & modifier.bit)
      parts << QCoreApplication::translate("QShortcut", modifier.text);
  }
  // Keys whose name is a word; Qt gives it in the desktop's language.
  const hotkeys::KeyInfo* info = hotkeys::keyInfo(static_cast<uint32_t>(shortcut.keyCode));
  if (info && info->namedByQt) {
    parts << QKeySequence(info->qtKey).toString(QKeySequence::NativeText);
  } else {
    parts << keyText(shortcut.keyCode, keyboard);
  }
  return parts.join(QLatin1Char('+'));
}

}  // namespace KeyboardShortcuts
