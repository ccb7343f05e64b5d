#pragma once
// Named global keyboard shortcuts: their storage in the settings store, their
// registration as system-wide hot keys and the dispatch of hot-key events to
// the actions the app adds per name.
//
// Thread-bound (main thread): every table, flag and notification here.
//
// Wiring an action:
//   KeyboardShortcuts::onKeyUp(KeyboardShortcuts::Names::cameraOn, [] { camera.turnOn(); });
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

#include "platform/hotkeys/HotKeys.h"
#include "platform/hotkeys/KeyCodes.h"
#include "platform/hotkeys/ShortcutPortal.h"

class QKeyEvent;
namespace tovrelle {
class Settings;
}

namespace KeyboardShortcuts {

// A key code and modifier mask of the key table (KeyCodes.h): the numbers
// settings files hold.
struct Shortcut {
  int keyCode = 0;
  int modifiers = 0;

  Shortcut() = default;
  constexpr Shortcut(int keyCode, int modifiers) : keyCode(keyCode), modifiers(modifiers) {}

  // The shortcut of a key press: the code of the pressed key (its unshifted
  // position) and the held modifiers. None for keys without a code.
  static std::optional<Shortcut> fromKeyEvent(const QKeyEvent& event);

  // As Linux desktops write it: "Ctrl+Alt+Super+0".
  QString description() const;

  friend bool operator==(const Shortcut&, const Shortcut&) = default;
  friend auto operator<=>(const Shortcut&, const Shortcut&) = default;
};

enum class EventType { keyDown, keyUp };

// The text shown for a key: a symbol for special keys, "F5" for function
// keys, otherwise the key's character in the current keyboard layout.
QString keyText(int keyCode);

class Name {
 public:
  // Creating a name stores its default the first time the settings store
  // has nothing at all under the name's key.
  explicit Name(QString rawValue, std::optional<Shortcut> defaultShortcut = std::nullopt);

  const QString& rawValue() const { return rawValue_; }
  const std::optional<Shortcut>& defaultShortcut() const { return defaultShortcut_; }
  // Its key in the settings file: "KeyboardShortcuts_<rawValue>".
  QString settingsKey() const;

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

class Notifier : public QObject {
  Q_OBJECT
 signals:
  // Posted after every change of a stored shortcut; carries the name.
  void shortcutByNameDidChange(const KeyboardShortcuts::Name& name);
  // Global shortcuts became usable or unusable (see globalShortcutsStatus()).
  void availabilityChanged();
  // The set of refusedShortcuts() changed.
  void refusedShortcutsChanged();
};
Notifier& notificationCenter();

// True while a shortcut field records: hot keys then run no actions.
bool handlersPaused();
void setHandlersPaused(bool paused);
// True while one of the app's popups (its menus, the tray panel) is open and
// Qt holds the keyboard for it; the grabs are given back meanwhile.
bool popupOpen();
void setPopupOpen(bool open);

// Whether another program holds the shortcut or the desktop reserves it.
// Shortcuts registered by this module do not count.
bool isTakenBySystem(const Shortcut& shortcut);

// A key event inside an open popup, matched against the hot keys; true when
// a hot key handled it and the popup must not see it.
bool handlePopupKey(EventType type, const Shortcut& shortcut);

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
  int id = 0;
  std::optional<tovrelle::hotkeys::HotKeyRef> ref;  // none while temporarily unregistered
};

// The process-wide tables, for inspection.
const std::map<int, std::shared_ptr<HotKey>>& hotKeys();
const std::set<Shortcut>& activeShortcuts();
// Shortcuts in use by a name that the desktop refused to grab; they do nothing.
const std::set<Shortcut>& refusedShortcuts();

}  // namespace KeyboardShortcuts
