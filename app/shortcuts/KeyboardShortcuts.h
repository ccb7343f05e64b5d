#pragma once
// Named global keyboard shortcuts: their storage in the settings store, their
// registration as system-wide hot keys and the dispatch of hot-key events to
// the actions the app adds per name. One ShortcutRegistry holds all of that
// for one settings store and one hot-key backend; the program builds it with
// its other objects and hands it to the views.
//
// Thread-bound (main thread): every table, flag and signal here.
//
// Wiring an action:
//   shortcuts.onKeyUp(KeyboardShortcuts::Names::cameraOn, [] { camera.turnOn(); });
#include <QObject>
#include <QPointer>
#include <QString>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
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

  friend bool operator==(const Shortcut&, const Shortcut&) = default;
  friend auto operator<=>(const Shortcut&, const Shortcut&) = default;
};

enum class EventType { keyDown, keyUp };

// A shortcut's name: the key it is stored under and the shortcut it starts
// with. A value; the registry stores the default the first time it meets the
// name (see ShortcutRegistry::addName).
class Name {
 public:
  explicit Name(QString rawValue, std::optional<Shortcut> defaultShortcut = std::nullopt, QString description = {})
      : rawValue_(std::move(rawValue)), defaultShortcut_(defaultShortcut), description_(std::move(description)) {}

  const QString& rawValue() const { return rawValue_; }
  const std::optional<Shortcut>& defaultShortcut() const { return defaultShortcut_; }
  // What the desktop's shortcut dialog lists for it; empty: the raw value.
  const QString& description() const { return description_; }
  // Its key in the settings file: "KeyboardShortcuts_<rawValue>".
  QString settingsKey() const;

  friend bool operator==(const Name& a, const Name& b) { return a.rawValue_ == b.rawValue_; }
  friend bool operator<(const Name& a, const Name& b) { return a.rawValue_ < b.rawValue_; }

 private:
  QString rawValue_;
  std::optional<Shortcut> defaultShortcut_;
  QString description_;
};

using Action = std::function<void()>;

// Where the global shortcuts come from. On Wayland the desktop binds them
// through its portal (the desktop may then assign other keys than the stored
// ones); elsewhere they are hot keys grabbed here.
struct GlobalShortcutsStatus {
  bool throughDesktop = false;
  bool available = true;
  QString reason;  // why they are unavailable
};

// A registered hot key.
struct HotKey {
  Shortcut shortcut;
  int id = 0;
  std::optional<tovrelle::hotkeys::HotKeyRef> ref;  // none while temporarily unregistered
};

// Texts and key events read in the keyboard layout `keyboard` reports.
//
// The text shown for a key: a symbol for special keys, "F5" for function
// keys, otherwise the key's character in the current keyboard layout.
QString keyText(int keyCode, const tovrelle::hotkeys::HotKeyCenter& keyboard);
// As Linux desktops write it: "Ctrl+Alt+Super+0".
QString describe(const Shortcut& shortcut, const tovrelle::hotkeys::HotKeyCenter& keyboard);
// The shortcut of a key press: the code of the pressed key (its unshifted
// position) and the held modifiers. None for keys without a code.
std::optional<Shortcut> shortcutOf(const QKeyEvent& event, const tovrelle::hotkeys::HotKeyCenter& keyboard);

class ShortcutRegistry : public QObject {
  Q_OBJECT

 public:
  // What grabs the keys. `keys` grabs them and knows the keyboard layout;
  // with a `portal` the desktop binds the names instead and `keys` is asked
  // about the layout only. A non-empty `unavailable` says why this session
  // has no global shortcuts at all. One backend serves one registry.
  struct Backend {
    std::shared_ptr<tovrelle::hotkeys::HotKeyCenter> keys;
    std::shared_ptr<tovrelle::hotkeys::ShortcutPortal> portal;
    std::string unavailable;
  };

  // The session's own backend: the desktop portal on Wayland, hot keys on
  // the X server otherwise, and none (with the reason) without either.
  static Backend sessionBackend();

  ShortcutRegistry(tovrelle::Settings& settings, Backend backend, QObject* parent = nullptr);
  // Gives back every hot key it holds.
  ~ShortcutRegistry() override;
  ShortcutRegistry(const ShortcutRegistry&) = delete;
  ShortcutRegistry& operator=(const ShortcutRegistry&) = delete;

  // Makes the name known here. The first time, its default is stored when
  // the settings store has nothing at all under its key (a stored false
  // means the user cleared it). Every call below that takes a name adds it.
  void addName(const Name& name);

  void onKeyUp(const Name& name, Action action);
  void onKeyDown(const Name& name, Action action);

  std::optional<Shortcut> storedShortcut(const Name& name);
  // Stores (or, with none, clears) the name's shortcut, moves its hot key and
  // emits shortcutByNameDidChange.
  void storeShortcut(const std::optional<Shortcut>& shortcut, const Name& name);

  // True while a shortcut field records: hot keys then run no actions.
  bool handlersPaused() const { return handlersPaused_; }
  void setHandlersPaused(bool paused);
  // True while one of the app's popups (its menus, the tray panel) is open and
  // Qt holds the keyboard for it; the grabs are given back meanwhile.
  bool popupOpen() const { return popupOpen_; }
  void setPopupOpen(bool open);

  // Whether another program holds the shortcut or the desktop reserves it.
  // Shortcuts registered here do not count.
  bool isTakenBySystem(const Shortcut& shortcut);

  // A key event inside an open popup, matched against the hot keys; true when
  // a hot key handled it and the popup must not see it.
  bool handlePopupKey(EventType type, const Shortcut& shortcut);

  GlobalShortcutsStatus globalShortcutsStatus() const { return status_; }

  // Texts and key events in the backend's keyboard layout.
  QString keyText(int keyCode) const;
  QString description(const Shortcut& shortcut) const;
  std::optional<Shortcut> shortcutOf(const QKeyEvent& event) const;

  // The tables, for inspection.
  const std::map<int, std::shared_ptr<HotKey>>& hotKeys() const { return hotKeys_; }
  const std::set<Shortcut>& activeShortcuts() const { return activeShortcuts_; }
  // Shortcuts in use by a name that could not be grabbed, with why; they do nothing.
  const std::map<Shortcut, QString>& refusedShortcuts() const { return refusedShortcuts_; }

 signals:
  // After every change of a stored shortcut; carries the name.
  void shortcutByNameDidChange(const KeyboardShortcuts::Name& name);
  // Global shortcuts became usable or unusable (see globalShortcutsStatus()).
  void availabilityChanged();
  // The set of refusedShortcuts() or a reason in it changed.
  void refusedShortcutsChanged();

 private:
  using Handlers = std::map<Name, std::vector<Action>>;

  // Hot keys only fire when neither a popup nor a shortcut field needs the
  // keys: our grabs would otherwise take the combination away from it.
  bool hotKeysSuspended() const { return popupOpen_ || handlersPaused_; }
  bool grabsKeys() const { return !portal_ && status_.available; }
  void setRefused(const Shortcut& shortcut, std::optional<QString> reason);
  void listenOnce();
  void registerShortcut(const Shortcut& shortcut);
  void unregisterShortcut(const Shortcut& shortcut);
  bool stillUsedByAnotherName(const Shortcut& shortcut, const Name& changing);
  void releaseShortcut(const Shortcut& shortcut, const Name& changing);
  void updateGrabs();
  bool handleHotKey(uint32_t id, bool pressed);
  void runHotKey(std::shared_ptr<HotKey> hotKey, bool down);
  void dispatch(EventType type, const Shortcut& shortcut);
  void runPortalActions(const Handlers& handlers, const std::string& id);
  void portalStateChanged(tovrelle::hotkeys::ShortcutPortal::State state, const std::string& reason);
  void scheduleRebind();
  void rebind();
  void addHandler(Handlers& handlers, const Name& name, Action action);
  void startWatchingPopups();

  tovrelle::Settings& settings_;
  std::shared_ptr<tovrelle::hotkeys::HotKeyCenter> center_;
  // Wayland: the desktop binds the names; `center_` then grabs nothing.
  std::shared_ptr<tovrelle::hotkeys::ShortcutPortal> portal_;
  GlobalShortcutsStatus status_;
  std::map<int, std::shared_ptr<HotKey>> hotKeys_;
  int hotKeyIdCounter_ = 0;  // the first id is 1; ids are never reused
  std::set<Shortcut> activeShortcuts_;
  Handlers keyDownHandlers_;
  Handlers keyUpHandlers_;
  std::map<QString, Name> names_;  // every name met, by raw value
  bool handlersPaused_ = false;
  bool popupOpen_ = false;
  bool listening_ = false;  // the center reports to us (from the first registration on)
  std::set<QString> reportedBadValues_;
  bool rebindScheduled_ = false;
  std::map<Shortcut, QString> refusedShortcuts_;
  QPointer<QObject> popupKeys_;  // owned by the application object, which may go first
};

}  // namespace KeyboardShortcuts
