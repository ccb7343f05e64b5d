#pragma once
// Named global keyboard shortcuts: their storage in the settings store, their
// registration as system-wide hot keys and the dispatch of hot-key events to
// the actions the app adds per name. Everything runs on the main thread.
//
// Wiring an action:
//   KeyboardShortcuts::onKeyUp(KeyboardShortcuts::Names::cameraOn, [] { CameraManager::shared().turnOn(); });
#include <QObject>
#include <QString>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/hotkeys/CarbonKeys.h"
#include "platform/hotkeys/HotKeys.h"
#include "platform/hotkeys/ShortcutPortal.h"

class QKeyEvent;
namespace tovrelle {
class Settings;
}
class QKeyCombination;

namespace KeyboardShortcuts {

// Event modifier flags. Command, Shift, Option and Control map one to one to
// Carbon bits; Caps Lock, the numeric pad and the function key do not.
using ModifierFlags = uint32_t;
namespace ModifierFlag {
inline constexpr ModifierFlags capsLock = 0x10000;
inline constexpr ModifierFlags shift = 0x20000;
inline constexpr ModifierFlags control = 0x40000;
inline constexpr ModifierFlags option = 0x80000;
inline constexpr ModifierFlags command = 0x100000;
inline constexpr ModifierFlags numericPad = 0x200000;
inline constexpr ModifierFlags function = 0x800000;
inline constexpr ModifierFlags deviceIndependent = capsLock | shift | control | option | command | numericPad | function;
}  // namespace ModifierFlag

int carbonModifiers(ModifierFlags flags);
ModifierFlags modifierFlags(int carbonModifiers);

// A key by its Carbon virtual key code.
struct Key {
  int rawValue = 0;

  static const Key zero, one, two, three, four, five, six, seven, eight, nine;
  static const Key tab, space, returnKey, escape, deleteKey, forwardDelete;
  static const Key f1, f12;

  friend bool operator==(Key, Key) = default;
};
inline constexpr Key Key::zero{tovrelle::hotkeys::carbon::zero};
inline constexpr Key Key::one{tovrelle::hotkeys::carbon::one};
inline constexpr Key Key::two{tovrelle::hotkeys::carbon::two};
inline constexpr Key Key::three{tovrelle::hotkeys::carbon::three};
inline constexpr Key Key::four{tovrelle::hotkeys::carbon::four};
inline constexpr Key Key::five{tovrelle::hotkeys::carbon::five};
inline constexpr Key Key::six{tovrelle::hotkeys::carbon::six};
inline constexpr Key Key::seven{tovrelle::hotkeys::carbon::seven};
inline constexpr Key Key::eight{tovrelle::hotkeys::carbon::eight};
inline constexpr Key Key::nine{tovrelle::hotkeys::carbon::nine};
inline constexpr Key Key::tab{tovrelle::hotkeys::carbon::tab};
inline constexpr Key Key::space{tovrelle::hotkeys::carbon::space};
inline constexpr Key Key::returnKey{tovrelle::hotkeys::carbon::returnKey};
inline constexpr Key Key::escape{tovrelle::hotkeys::carbon::escape};
inline constexpr Key Key::deleteKey{tovrelle::hotkeys::carbon::deleteKey};
inline constexpr Key Key::forwardDelete{tovrelle::hotkeys::carbon::forwardDelete};
inline constexpr Key Key::f1{tovrelle::hotkeys::carbon::f1};
inline constexpr Key Key::f12{tovrelle::hotkeys::carbon::f12};

enum class EventType { keyDown, keyUp };

struct Shortcut {
  int carbonKeyCode = 0;
  int carbonModifiers = 0;

  Shortcut() = default;
  constexpr Shortcut(int keyCode, int modifiers) : carbonKeyCode(keyCode), carbonModifiers(modifiers) {}
  Shortcut(Key key, ModifierFlags modifiers)
      : carbonKeyCode(key.rawValue), carbonModifiers(KeyboardShortcuts::carbonModifiers(modifiers)) {}

  Key key() const { return Key{carbonKeyCode}; }
  ModifierFlags modifiers() const { return modifierFlags(carbonModifiers); }

  // The shortcut of a key press: Carbon key code of the pressed key (its
  // unshifted position) and the held modifiers. None for keys without a code.
  static std::optional<Shortcut> fromKeyEvent(const QKeyEvent& event);
  static std::optional<Shortcut> fromKeyCombination(QKeyCombination combination);

  // {"carbonKeyCode":18,"carbonModifiers":6400}
  QString toJSON() const;
  // Either member order; none unless both members are integers.
  static std::optional<Shortcut> fromJSON(const QString& text);

  // As Linux desktops write it: "Ctrl+Alt+Super+0".
  QString description() const;

  friend bool operator==(const Shortcut&, const Shortcut&) = default;
  friend auto operator<=>(const Shortcut&, const Shortcut&) = default;
};

// The text shown for a key: a symbol for special keys, "F5" for function
// keys, otherwise the key's character in the current keyboard layout.
QString keyText(Key key);

class Name {
 public:
  // Creating a name stores its default the first time the settings store
  // has nothing at all under the name's key.
  explicit Name(QString rawValue, std::optional<Shortcut> defaultShortcut = std::nullopt);

  const QString& rawValue() const { return rawValue_; }
  const std::optional<Shortcut>& defaultShortcut() const { return defaultShortcut_; }
  // "KeyboardShortcuts_<rawValue>"
  QString userDefaultsKey() const;

  friend bool operator==(const Name& a, const Name& b) { return a.rawValue_ == b.rawValue_; }
  friend bool operator<(const Name& a, const Name& b) { return a.rawValue_ < b.rawValue_; }

 private:
  QString rawValue_;
  std::optional<Shortcut> defaultShortcut_;
};

using Action = std::function<void()>;

void onKeyUp(const Name& name, Action action);
void onKeyDown(const Name& name, Action action);

std::optional<Shortcut> storedShortcut(const Name& name);
// Stores (or, with none, clears) the name's shortcut, moves its hot key and
// posts the change notification.
void storeShortcut(const std::optional<Shortcut>& shortcut, const Name& name);

// The change notification of a stored shortcut.
inline constexpr const char* shortcutByNameDidChangeNotification = "KeyboardShortcuts_shortcutByNameDidChange";

class Notifier : public QObject {
  Q_OBJECT
 public:
  Notifier() { setObjectName(QString::fromLatin1(shortcutByNameDidChangeNotification)); }
 signals:
  // Posted after every change of a stored shortcut; carries the name.
  void shortcutByNameDidChange(const KeyboardShortcuts::Name& name);
  // Global shortcuts became usable or unusable (see globalShortcutsStatus()).
  void availabilityChanged();
  // The set of refusedShortcuts() changed.
  void refusedShortcutsChanged();
};
Notifier& notificationCenter();

// True while a recorder records: hot keys then run no actions.
bool handlersPaused();
void setHandlersPaused(bool paused);
// True while one of the app's menus is open and holds the keyboard.
bool menuTrackingActive();
void setMenuTrackingActive(bool active);
bool isEnabled();

// Whether another program holds the shortcut or the desktop reserves it.
// Shortcuts registered by this module do not count.
bool isTakenBySystem(const Shortcut& shortcut);

// Raw key events from one of the app's menus, matched against the hot keys;
// true when a hot key handled it and the menu must not see it.
bool handleRawKeyEvent(EventType type, const Shortcut& shortcut);

// The registration service; built from the X11 backend on first use unless
// the program (or a test) set one before the first registration.
tovrelle::hotkeys::HotKeyCenter& hotKeyCenter();
void setHotKeyCenter(std::shared_ptr<tovrelle::hotkeys::HotKeyCenter> center);

// Where the global shortcuts come from. On Wayland the desktop binds them
// through its portal (the desktop may then assign other keys than the stored
// ones); elsewhere they are hot keys grabbed here.
struct GlobalShortcutsStatus {
  bool throughDesktop = false;
  bool available = true;
  QString reason;  // why they are unavailable
};
GlobalShortcutsStatus globalShortcutsStatus();

// The desktop's shortcut dialog shows this text for the name.
void setDescription(const Name& name, const QString& description);

// Where the shortcuts are stored; the program sets it before any name is used.
void setSettings(tovrelle::Settings& settings);

// Binds the names through `portal` instead of grabbing hot keys; the program
// picks the desktop portal on Wayland by itself, tests set their own.
void setShortcutPortal(std::shared_ptr<tovrelle::hotkeys::ShortcutPortal> portal);

// A registered hot key.
struct HotKey {
  Shortcut shortcut;
  int carbonHotKeyId = 0;
  std::optional<tovrelle::hotkeys::HotKeyRef> carbonHotKey;  // none while temporarily unregistered
  std::function<void(const Shortcut&)> onKeyDown;
  std::function<void(const Shortcut&)> onKeyUp;
};

// The process-wide tables, for inspection.
const std::map<int, std::shared_ptr<HotKey>>& hotKeys();
const std::set<Shortcut>& activeShortcuts();
// Shortcuts in use by a name that the desktop refused to grab; they do nothing.
const std::set<Shortcut>& refusedShortcuts();

}  // namespace KeyboardShortcuts
