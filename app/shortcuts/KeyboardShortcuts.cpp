#include "app/shortcuts/KeyboardShortcuts.h"

#include <QGuiApplication>
#include <QHash>
#include <QTimer>

#include "app/model/Settings.h"
#include "app/shortcuts/KeyboardShortcutsTesting.h"
#include "app/shortcuts/MenuTracking.h"
#include "app/shortcuts/Names.h"
#include "platform/hotkeys/portal/DesktopPortalShortcuts.h"
#include "platform/hotkeys/x11/X11HotKeyCenter.h"
#include "platform/log/Log.h"

namespace KeyboardShortcuts {

using tovrelle::Settings;
namespace hotkeys = tovrelle::hotkeys;
namespace logging = tovrelle::log;

namespace {

struct State {
  std::shared_ptr<hotkeys::HotKeyCenter> center;
  std::map<int, std::shared_ptr<HotKey>> hotKeys;
  int hotKeyIdCounter = 0;  // the first id is 1; ids are never reused
  std::set<Shortcut> activeShortcuts;
  std::map<Name, std::vector<Action>> keyDownHandlers;
  std::map<Name, std::vector<Action>> keyUpHandlers;
  bool handlersPaused = false;
  bool menuTrackingActive = false;
  bool isEnabled = true;
  bool eventHandlerInstalled = false;
  bool observingMenus = false;
  std::map<QString, std::unique_ptr<Name>> applicationNames;
  std::set<QString> reportedBadValues;
  // Wayland: the desktop binds the names; `center` then grabs nothing.
  std::shared_ptr<hotkeys::ShortcutPortal> portal;
  std::map<QString, QString> descriptions;
  bool rebindScheduled = false;
  GlobalShortcutsStatus status;
  std::set<Shortcut> refusedShortcuts;
  Settings* settings = nullptr;
};

State& state() {
  static State* s = new State;  // lives for the whole process, like the hot keys it holds
  return *s;
}

void dispatch(EventType type, const Shortcut& shortcut);
hotkeys::EventStatus handleEvent(const hotkeys::KeyboardEvent& event);
void updateEventHandler();

// Hot keys only fire when neither a menu nor a recorder needs the keys: our
// grabs would otherwise take the combination away from the focused field.
// The program sets the store at start, before any name exists.
Settings& settings() {
  Q_ASSERT(state().settings);
  return *state().settings;
}

bool hotKeysSuspended() { return state().menuTrackingActive || state().handlersPaused; }

// Stored shortcuts the desktop would not grab: shown to the user, who would
// otherwise press them in vain.
void setRefused(const Shortcut& shortcut, bool refused) {
  State& s = state();
  const bool changed = refused ? s.refusedShortcuts.insert(shortcut).second : s.refusedShortcuts.erase(shortcut) > 0;
  if (!changed) return;
  // Without global shortcuts at all, that was said once already.
  if (refused && s.status.available)
    logging::processLog("KeyboardShortcuts: the desktop refused %s", qPrintable(shortcut.description()));
  emit notificationCenter().refusedShortcutsChanged();
}

void installEventHandlerOnce() {
  State& s = state();
  if (s.eventHandlerInstalled) return;
  s.eventHandlerInstalled = true;
  hotKeyCenter().installHandler(handleEvent);
  updateEventHandler();
}

void registerShortcut(const Shortcut& shortcut) {
  State& s = state();
  const int id = ++s.hotKeyIdCounter;
  auto hotKey = std::make_shared<HotKey>();
  hotKey->shortcut = shortcut;
  hotKey->carbonHotKeyId = id;
  hotKey->onKeyDown = [](const Shortcut& pressed) { dispatch(EventType::keyDown, pressed); };
  hotKey->onKeyUp = [](const Shortcut& released) { dispatch(EventType::keyUp, released); };
  if (!hotKeysSuspended()) {
    hotKey->carbonHotKey = hotKeyCenter().registerHotKey(static_cast<uint32_t>(shortcut.carbonKeyCode),
                                                         static_cast<uint32_t>(shortcut.carbonModifiers),
                                                         {hotkeys::kSignature, static_cast<uint32_t>(id)});
    // Someone else holds the combination: the shortcut does nothing, and the
    // user is told. Through the portal (or with no way to grab keys at all)
    // nothing is grabbed here, so a failure says nothing about this key.
    if (!s.portal && s.status.available) setRefused(shortcut, !hotKey->carbonHotKey);
    if (!hotKey->carbonHotKey) return;
  }
  s.hotKeys.emplace(id, std::move(hotKey));
  installEventHandlerOnce();
}

void unregisterShortcut(const Shortcut& shortcut) {
  State& s = state();
  for (auto it = s.hotKeys.begin(); it != s.hotKeys.end();) {
    if (it->second->shortcut == shortcut) {
      if (it->second->carbonHotKey) hotKeyCenter().unregisterHotKey(*it->second->carbonHotKey);
      it = s.hotKeys.erase(it);
    } else {
      ++it;
    }
  }
}

// Another name with actions that still uses the shortcut keeps its hot key.
bool stillUsedByAnotherName(const Shortcut& shortcut, const Name& changing) {
  State& s = state();
  for (const auto* handlers : {&s.keyDownHandlers, &s.keyUpHandlers}) {
    for (const auto& [name, actions] : *handlers) {
      if (name == changing) continue;
      if (storedShortcut(name) == shortcut) return true;
    }
  }
  return false;
}

void releaseShortcut(const Shortcut& shortcut, const Name& changing) {
  if (stillUsedByAnotherName(shortcut, changing)) return;
  unregisterShortcut(shortcut);
  state().activeShortcuts.erase(shortcut);
  setRefused(shortcut, false);
}

void updateEventHandler() {
  State& s = state();
  if (!s.eventHandlerInstalled) return;
  hotkeys::HotKeyCenter& center = hotKeyCenter();
  if (!hotKeysSuspended()) {
    for (auto it = s.hotKeys.begin(); it != s.hotKeys.end();) {
      HotKey& hotKey = *it->second;
      if (!hotKey.carbonHotKey) {
        hotKey.carbonHotKey =
            center.registerHotKey(static_cast<uint32_t>(hotKey.shortcut.carbonKeyCode),
                                  static_cast<uint32_t>(hotKey.shortcut.carbonModifiers),
                                  {hotkeys::kSignature, static_cast<uint32_t>(hotKey.carbonHotKeyId)});
        if (!hotKey.carbonHotKey) {
          setRefused(hotKey.shortcut, true);
          it = s.hotKeys.erase(it);
          continue;
        }
      }
      ++it;
    }
    center.removeEventTypes({hotkeys::EventKind::rawKeyDown, hotkeys::EventKind::rawKeyUp});
    center.addEventTypes({hotkeys::EventKind::hotKeyPressed, hotkeys::EventKind::hotKeyReleased});
  } else {
    for (auto& [id, hotKey] : s.hotKeys) {
      if (hotKey->carbonHotKey) center.unregisterHotKey(*hotKey->carbonHotKey);
      hotKey->carbonHotKey.reset();
    }
    center.removeEventTypes({hotkeys::EventKind::hotKeyPressed, hotkeys::EventKind::hotKeyReleased});
    if (s.menuTrackingActive) {
      center.addEventTypes({hotkeys::EventKind::rawKeyDown, hotkeys::EventKind::rawKeyUp});
    } else {
      center.removeEventTypes({hotkeys::EventKind::rawKeyDown, hotkeys::EventKind::rawKeyUp});
    }
  }
}

hotkeys::EventStatus handleEvent(const hotkeys::KeyboardEvent& event) {
  State& s = state();
  std::shared_ptr<HotKey> hotKey;
  switch (event.kind) {
    case hotkeys::EventKind::hotKeyPressed:
    case hotkeys::EventKind::hotKeyReleased: {
      if (event.hotKeyID.signature != hotkeys::kSignature) return hotkeys::EventStatus::eventNotHandled;
      auto it = s.hotKeys.find(static_cast<int>(event.hotKeyID.id));
      if (it == s.hotKeys.end()) return hotkeys::EventStatus::eventNotHandled;
      hotKey = it->second;
      break;
    }
    case hotkeys::EventKind::rawKeyDown:
    case hotkeys::EventKind::rawKeyUp: {
      const Shortcut pressed(static_cast<int>(event.keyCode), static_cast<int>(event.modifiers));
      for (const auto& [id, candidate] : s.hotKeys) {
        if (candidate->shortcut == pressed) {
          hotKey = candidate;
          break;
        }
      }
      if (!hotKey) return hotkeys::EventStatus::eventNotHandled;
      break;
    }
  }
  // The actions may change the tables; `hotKey` keeps this one alive.
  const bool down =
      event.kind == hotkeys::EventKind::hotKeyPressed || event.kind == hotkeys::EventKind::rawKeyDown;
  if (down) {
    hotKey->onKeyDown(hotKey->shortcut);
  } else {
    hotKey->onKeyUp(hotKey->shortcut);
  }
  return hotkeys::EventStatus::handled;
}

void dispatch(EventType type, const Shortcut& shortcut) {
  State& s = state();
  if (s.handlersPaused || !s.isEnabled) return;
  // A copy: an action may add handlers or store shortcuts.
  const auto handlers = type == EventType::keyDown ? s.keyDownHandlers : s.keyUpHandlers;
  for (const auto& [name, actions] : handlers) {
    if (storedShortcut(name) != shortcut) continue;
    for (const Action& action : actions) action();
  }
}

void startObservingMenus();

// Qt's Wayland platform, or no X11 platform in a Wayland session: grabs on an
// X server would only see keys while one of our own windows has focus.
bool runsOnWayland() {
  const QString platform = QGuiApplication::platformName();
  if (platform.startsWith(QLatin1String("wayland"))) return true;
  return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && platform != QLatin1String("xcb");
}

void runPortalActions(const std::map<Name, std::vector<Action>>& handlers, const std::string& id) {
  State& s = state();
  if (s.handlersPaused || !s.isEnabled) return;
  const QString raw = QString::fromStdString(id);
  for (const auto& [name, actions] : handlers) {
    if (name.rawValue() != raw) continue;
    const auto copy = actions;  // an action may add handlers
    for (const Action& action : copy) action();
  }
}

void adoptPortal(std::shared_ptr<hotkeys::ShortcutPortal> portal) {
  State& s = state();
  s.portal = std::move(portal);
  s.center = std::make_shared<hotkeys::UnavailableHotKeyCenter>();
  s.status = {true, true, {}};
  s.portal->setCallbacks({
      // Like the hot keys: presses run key-down actions, releases key-up ones.
      [](const std::string& id) { runPortalActions(state().keyDownHandlers, id); },
      [](const std::string& id) { runPortalActions(state().keyUpHandlers, id); },
      [](hotkeys::ShortcutPortal::State portalState, const std::string& reason) {
        State& st = state();
        const bool available = portalState != hotkeys::ShortcutPortal::State::unavailable;
        const QString why = available ? QString() : QString::fromStdString(reason);
        if (st.status.available == available && st.status.reason == why) return;
        st.status.available = available;
        st.status.reason = why;
        if (!available)
          logging::processLog("KeyboardShortcuts: global shortcuts are not available in this session: %s",
                              reason.c_str());
        emit notificationCenter().availabilityChanged();
      },
  });
}

// Every name with actions, bound in one call with its current shortcut as
// the preferred trigger. Coalesced: a launch adds three names in a row.
void scheduleRebind() {
  State& s = state();
  if (!s.portal || s.rebindScheduled) return;
  s.rebindScheduled = true;
  QTimer::singleShot(0, &notificationCenter(), [] {
    State& st = state();
    st.rebindScheduled = false;
    if (!st.portal) return;
    std::set<Name> names;
    for (const auto* handlers : {&st.keyDownHandlers, &st.keyUpHandlers})
      for (const auto& [name, actions] : *handlers) names.insert(name);
    std::vector<hotkeys::PortalShortcut> shortcuts;
    for (const Name& name : names) {
      hotkeys::PortalShortcut entry;
      entry.id = name.rawValue().toStdString();
      entry.description = st.descriptions.count(name.rawValue()) ? st.descriptions[name.rawValue()].toStdString()
                                                                  : entry.id;
      if (auto shortcut = storedShortcut(name))
        entry.preferredTrigger = hotkeys::portalTrigger(static_cast<uint32_t>(shortcut->carbonKeyCode),
                                                        static_cast<uint32_t>(shortcut->carbonModifiers));
      shortcuts.push_back(std::move(entry));
    }
    st.portal->bind(std::move(shortcuts));
  });
}

void addHandler(std::map<Name, std::vector<Action>>& handlers, const Name& name, Action action) {
  startObservingMenus();  // in case the name was made before the application object
  handlers[name].push_back(std::move(action));
  State& s = state();
  hotKeyCenter();  // picks the backend
  scheduleRebind();
  if (auto shortcut = storedShortcut(name); shortcut && !s.activeShortcuts.count(*shortcut)) {
    registerShortcut(*shortcut);
    s.activeShortcuts.insert(*shortcut);
  }
}

void startObservingMenus() {
  State& s = state();
  if (s.observingMenus) return;
  s.observingMenus = detail::installMenuTracking();
}

}  // namespace

Name::Name(QString rawValue, std::optional<Shortcut> defaultShortcut)
    : rawValue_(std::move(rawValue)), defaultShortcut_(defaultShortcut) {
  startObservingMenus();
  // Only when there is no value at all: a stored false means the user cleared it.
  if (defaultShortcut_ && !settings().contains(userDefaultsKey())) {
    storeShortcut(defaultShortcut_, *this);
  }
}

QString Name::userDefaultsKey() const { return QString::fromLatin1(tovrelle::settings_keys::kShortcutPrefix) + rawValue_; }

const Name& ApplicationName::get() const {
  auto& names = state().applicationNames;
  const QString raw = QString::fromUtf8(rawValue_);
  auto it = names.find(raw);
  if (it == names.end()) {
    it = names.emplace(raw, std::make_unique<Name>(raw, default_)).first;
    setDescription(*it->second, QString::fromUtf8(description_));
  }
  return *it->second;
}

void onKeyUp(const Name& name, Action action) { addHandler(state().keyUpHandlers, name, std::move(action)); }

void onKeyDown(const Name& name, Action action) { addHandler(state().keyDownHandlers, name, std::move(action)); }

std::optional<Shortcut> storedShortcut(const Name& name) {
  const QString key = name.userDefaultsKey();
  const QVariant value = settings().object(key);
  if (!value.isValid() || tovrelle::isStoredFalse(value)) return std::nullopt;
  std::optional<Shortcut> shortcut;
  if (value.typeId() == QMetaType::QString) shortcut = Shortcut::fromJSON(value.toString());
  if (!shortcut && state().reportedBadValues.insert(key).second) {
    logging::processLog("KeyboardShortcuts: ignoring the unreadable value stored under %s", qPrintable(key));
  }
  return shortcut;
}

void storeShortcut(const std::optional<Shortcut>& shortcut, const Name& name) {
  State& s = state();
  Settings& defaults = settings();
  if (shortcut) {
    const QString text = shortcut->toJSON();
    if (text.isEmpty()) return;
    if (auto old = storedShortcut(name)) releaseShortcut(*old, name);
    if (!s.activeShortcuts.count(*shortcut)) {
      registerShortcut(*shortcut);
      s.activeShortcuts.insert(*shortcut);
    }
    defaults.setValue(name.userDefaultsKey(), text);
  } else {
    auto old = storedShortcut(name);
    if (!old) return;
    if (name.defaultShortcut()) {
      defaults.setValue(name.userDefaultsKey(), false);
    } else {
      defaults.remove(name.userDefaultsKey());
    }
    releaseShortcut(*old, name);
  }
  s.reportedBadValues.erase(name.userDefaultsKey());
  scheduleRebind();
  emit notificationCenter().shortcutByNameDidChange(name);
}

Notifier& notificationCenter() {
  static Notifier* notifier = new Notifier;
  return *notifier;
}

bool handlersPaused() { return state().handlersPaused; }

void setHandlersPaused(bool paused) {
  State& s = state();
  if (s.handlersPaused == paused) return;
  s.handlersPaused = paused;
  updateEventHandler();
}

bool menuTrackingActive() { return state().menuTrackingActive; }

void setMenuTrackingActive(bool active) {
  State& s = state();
  if (s.menuTrackingActive == active) return;
  s.menuTrackingActive = active;
  updateEventHandler();
}

bool isEnabled() { return state().isEnabled; }

bool isTakenBySystem(const Shortcut& shortcut) {
  // One of our own names may hold it (perhaps released while recording);
  // sharing a shortcut is allowed. A shortcut we failed to register is not ours.
  for (const auto& [id, hotKey] : state().hotKeys) {
    if (hotKey->shortcut == shortcut) return false;
  }
  return hotKeyCenter().isTakenBySystem(static_cast<uint32_t>(shortcut.carbonKeyCode),
                                        static_cast<uint32_t>(shortcut.carbonModifiers));
}

bool handleRawKeyEvent(EventType type, const Shortcut& shortcut) {
  const auto kind = type == EventType::keyDown ? hotkeys::EventKind::rawKeyDown : hotkeys::EventKind::rawKeyUp;
  return hotKeyCenter().sendRawKeyEvent(kind, static_cast<uint32_t>(shortcut.carbonKeyCode),
                                        static_cast<uint32_t>(shortcut.carbonModifiers)) ==
         hotkeys::EventStatus::handled;
}

hotkeys::HotKeyCenter& hotKeyCenter() {
  State& s = state();
  if (!s.center && runsOnWayland()) {
    logging::processLog("KeyboardShortcuts: Wayland session; the desktop portal binds the global shortcuts");
    adoptPortal(hotkeys::makeDesktopPortalShortcuts());
  }
  if (!s.center) {
    s.center = hotkeys::makeX11HotKeyCenter();
    if (!s.center) {
      logging::processLog("KeyboardShortcuts: no X display; global shortcuts are unavailable");
      s.status = {false, false, QStringLiteral("no X display")};
      s.center = std::make_shared<hotkeys::UnavailableHotKeyCenter>();
    }
  }
  return *s.center;
}

void setSettings(Settings& store) { state().settings = &store; }

void setShortcutPortal(std::shared_ptr<hotkeys::ShortcutPortal> portal) {
  adoptPortal(std::move(portal));
  state().eventHandlerInstalled = false;
}

GlobalShortcutsStatus globalShortcutsStatus() {
  hotKeyCenter();
  return state().status;
}

void setDescription(const Name& name, const QString& description) {
  state().descriptions[name.rawValue()] = description;
}

void setHotKeyCenter(std::shared_ptr<hotkeys::HotKeyCenter> center) {
  State& s = state();
  s.center = std::move(center);
  s.eventHandlerInstalled = false;
}

const std::map<int, std::shared_ptr<HotKey>>& hotKeys() { return state().hotKeys; }

const std::set<Shortcut>& activeShortcuts() { return state().activeShortcuts; }

const std::set<Shortcut>& refusedShortcuts() { return state().refusedShortcuts; }

namespace testing {

void resetProcessState() {
  State& s = state();
  if (s.center) {
    for (auto& [id, hotKey] : s.hotKeys) {
      if (hotKey->carbonHotKey) s.center->unregisterHotKey(*hotKey->carbonHotKey);
    }
    s.center->installHandler({});
  }
  detail::removeMenuTracking();
  s = State{};
}

}  // namespace testing

}  // namespace KeyboardShortcuts
