#include "app/shortcuts/KeyboardShortcuts.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <cmath>
#include <limits>

#include "app/model/Settings.h"
#include "app/shortcuts/KeyboardShortcutsTesting.h"
#include "app/shortcuts/Names.h"
#include "app/shortcuts/PopupKeys.h"
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
  bool popupOpen = false;
  bool listening = false;  // the center reports to us (from the first registration on)
  bool watchingPopups = false;
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
bool handleHotKey(uint32_t id, bool pressed);
void updateGrabs();

// The program sets the store at start, before any name exists.
Settings& settings() {
  Q_ASSERT(state().settings);
  return *state().settings;
}

// Hot keys only fire when neither a popup nor a shortcut field needs the
// keys: our grabs would otherwise take the combination away from it.
bool hotKeysSuspended() { return state().popupOpen || state().handlersPaused; }

// The stored spelling, read and written only here: the settings key
// "KeyboardShortcuts_<name>" holds {"carbonKeyCode":N,"carbonModifiers":M} or false.
// (The key prefix is tovrelle::settings_keys::kShortcutPrefix, with the other settings keys.)
constexpr QLatin1StringView kSettingsKeyPrefix(tovrelle::settings_keys::kShortcutPrefix);

QString encode(const Shortcut& shortcut) {
  QJsonObject object;
  object.insert(QStringLiteral("carbonKeyCode"), shortcut.keyCode);
  object.insert(QStringLiteral("carbonModifiers"), shortcut.modifiers);
  return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

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

// Either member order; none unless both members are integers.
std::optional<Shortcut> decode(const QVariant& value) {
  if (value.typeId() != QMetaType::QString) return std::nullopt;
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(value.toString().toUtf8(), &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
  const QJsonObject object = document.object();
  auto keyCode = integerMember(object, "carbonKeyCode");
  auto modifiers = integerMember(object, "carbonModifiers");
  if (!keyCode || !modifiers) return std::nullopt;
  return Shortcut(*keyCode, *modifiers);
}

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

void listenOnce() {
  State& s = state();
  if (s.listening) return;
  s.listening = true;
  hotKeyCenter().setListener(handleHotKey);
  updateGrabs();
}

void registerShortcut(const Shortcut& shortcut) {
  State& s = state();
  const int id = ++s.hotKeyIdCounter;
  auto hotKey = std::make_shared<HotKey>();
  hotKey->shortcut = shortcut;
  hotKey->id = id;
  if (!hotKeysSuspended()) {
    hotKey->ref = hotKeyCenter().registerHotKey(static_cast<uint32_t>(shortcut.keyCode),
                                                static_cast<uint32_t>(shortcut.modifiers), static_cast<uint32_t>(id));
    // Someone else holds the combination: the shortcut does nothing, and the
    // user is told. Through the portal (or with no way to grab keys at all)
    // nothing is grabbed here, so a failure says nothing about this key.
    if (!s.portal && s.status.available) setRefused(shortcut, !hotKey->ref);
    if (!hotKey->ref) return;
  }
  s.hotKeys.emplace(id, std::move(hotKey));
  listenOnce();
}

void unregisterShortcut(const Shortcut& shortcut) {
  State& s = state();
  for (auto it = s.hotKeys.begin(); it != s.hotKeys.end();) {
    if (it->second->shortcut == shortcut) {
      if (it->second->ref) hotKeyCenter().unregisterHotKey(*it->second->ref);
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

// While suspended the grabs are given back; afterwards they are taken again,
// and a shortcut someone else took meanwhile is dropped as refused.
void updateGrabs() {
  State& s = state();
  if (!s.listening) return;
  hotkeys::HotKeyCenter& center = hotKeyCenter();
  if (!hotKeysSuspended()) {
    for (auto it = s.hotKeys.begin(); it != s.hotKeys.end();) {
      HotKey& hotKey = *it->second;
      if (!hotKey.ref) {
        hotKey.ref =
            center.registerHotKey(static_cast<uint32_t>(hotKey.shortcut.keyCode),
                                  static_cast<uint32_t>(hotKey.shortcut.modifiers), static_cast<uint32_t>(hotKey.id));
        if (!hotKey.ref) {
          setRefused(hotKey.shortcut, true);
          it = s.hotKeys.erase(it);
          continue;
        }
      }
      ++it;
    }
  } else {
    for (auto& [id, hotKey] : s.hotKeys) {
      if (hotKey->ref) center.unregisterHotKey(*hotKey->ref);
      hotKey->ref.reset();
    }
  }
}

void runHotKey(std::shared_ptr<HotKey> hotKey, bool down) {
  // The actions may change the tables; `hotKey` keeps this one alive.
  dispatch(down ? EventType::keyDown : EventType::keyUp, hotKey->shortcut);
}

// A report of the hot-key service. One queued before the grabs were given
// back is not ours to act on any more.
bool handleHotKey(uint32_t id, bool pressed) {
  State& s = state();
  if (hotKeysSuspended()) return false;
  auto it = s.hotKeys.find(static_cast<int>(id));
  if (it == s.hotKeys.end()) return false;
  runHotKey(it->second, pressed);
  return true;
}

void dispatch(EventType type, const Shortcut& shortcut) {
  State& s = state();
  if (s.handlersPaused) return;
  // A copy: an action may add handlers or store shortcuts.
  const auto handlers = type == EventType::keyDown ? s.keyDownHandlers : s.keyUpHandlers;
  for (const auto& [name, actions] : handlers) {
    if (storedShortcut(name) != shortcut) continue;
    for (const Action& action : actions) action();
  }
}

void startWatchingPopups();

// Qt's Wayland platform, or no X11 platform in a Wayland session: grabs on an
// X server would only see keys while one of our own windows has focus.
bool runsOnWayland() {
  const QString platform = QGuiApplication::platformName();
  if (platform.startsWith(QLatin1String("wayland"))) return true;
  return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && platform != QLatin1String("xcb");
}

void runPortalActions(const std::map<Name, std::vector<Action>>& handlers, const std::string& id) {
  State& s = state();
  if (s.handlersPaused) return;
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
      entry.description =
          st.descriptions.count(name.rawValue()) ? st.descriptions[name.rawValue()].toStdString() : entry.id;
      if (auto shortcut = storedShortcut(name))
        entry.preferredTrigger = hotkeys::portalTrigger(static_cast<uint32_t>(shortcut->keyCode),
                                                        static_cast<uint32_t>(shortcut->modifiers));
      shortcuts.push_back(std::move(entry));
    }
    st.portal->bind(std::move(shortcuts));
  });
}

void addHandler(std::map<Name, std::vector<Action>>& handlers, const Name& name, Action action) {
  startWatchingPopups();  // in case the name was made before the application object
  handlers[name].push_back(std::move(action));
  State& s = state();
  hotKeyCenter();  // picks the backend
  scheduleRebind();
  if (auto shortcut = storedShortcut(name); shortcut && !s.activeShortcuts.count(*shortcut)) {
    registerShortcut(*shortcut);
    s.activeShortcuts.insert(*shortcut);
  }
}

void startWatchingPopups() {
  State& s = state();
  if (s.watchingPopups) return;
  s.watchingPopups = detail::installPopupKeys();
}

}  // namespace

Name::Name(QString rawValue, std::optional<Shortcut> defaultShortcut)
    : rawValue_(std::move(rawValue)), defaultShortcut_(defaultShortcut) {
  startWatchingPopups();
  // Only when there is no value at all: a stored false means the user cleared it.
  if (defaultShortcut_ && !settings().contains(settingsKey())) {
    storeShortcut(defaultShortcut_, *this);
  }
}

QString Name::settingsKey() const { return kSettingsKeyPrefix + rawValue_; }

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
  const QString key = name.settingsKey();
  const QVariant value = settings().object(key);
  if (!value.isValid() || tovrelle::isStoredFalse(value)) return std::nullopt;
  const std::optional<Shortcut> shortcut = decode(value);
  if (!shortcut && state().reportedBadValues.insert(key).second) {
    logging::processLog("KeyboardShortcuts: ignoring the unreadable value stored under %s", qPrintable(key));
  }
  return shortcut;
}

void storeShortcut(const std::optional<Shortcut>& shortcut, const Name& name) {
  State& s = state();
  Settings& defaults = settings();
  if (shortcut) {
    const QString text = encode(*shortcut);
    if (text.isEmpty()) return;
    if (auto old = storedShortcut(name)) releaseShortcut(*old, name);
    if (!s.activeShortcuts.count(*shortcut)) {
      registerShortcut(*shortcut);
      s.activeShortcuts.insert(*shortcut);
    }
    defaults.setValue(name.settingsKey(), text);
  } else {
    auto old = storedShortcut(name);
    if (!old) return;
    if (name.defaultShortcut()) {
      defaults.setValue(name.settingsKey(), false);
    } else {
      defaults.remove(name.settingsKey());
    }
    releaseShortcut(*old, name);
  }
  s.reportedBadValues.erase(name.settingsKey());
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
  updateGrabs();
}

bool popupOpen() { return state().popupOpen; }

void setPopupOpen(bool open) {
  State& s = state();
  if (s.popupOpen == open) return;
  s.popupOpen = open;
  updateGrabs();
}

bool isTakenBySystem(const Shortcut& shortcut) {
  // One of our own names may hold it (perhaps released while recording);
  // sharing a shortcut is allowed. A shortcut we failed to register is not ours.
  for (const auto& [id, hotKey] : state().hotKeys) {
    if (hotKey->shortcut == shortcut) return false;
  }
  return hotKeyCenter().isTakenBySystem(static_cast<uint32_t>(shortcut.keyCode),
                                        static_cast<uint32_t>(shortcut.modifiers));
}

bool handlePopupKey(EventType type, const Shortcut& shortcut) {
  State& s = state();
  if (!s.popupOpen || !s.listening) return false;
  std::shared_ptr<HotKey> match;
  for (const auto& [id, hotKey] : s.hotKeys) {
    if (hotKey->shortcut == shortcut) {
      match = hotKey;
      break;
    }
  }
  if (!match) return false;
  runHotKey(match, type == EventType::keyDown);
  return true;
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
  state().listening = false;
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
  s.listening = false;
}

const std::map<int, std::shared_ptr<HotKey>>& hotKeys() { return state().hotKeys; }

const std::set<Shortcut>& activeShortcuts() { return state().activeShortcuts; }

const std::set<Shortcut>& refusedShortcuts() { return state().refusedShortcuts; }

namespace testing {

void resetProcessState() {
  State& s = state();
  if (s.center) {
    for (auto& [id, hotKey] : s.hotKeys) {
      if (hotKey->ref) s.center->unregisterHotKey(*hotKey->ref);
    }
    s.center->setListener({});
  }
  detail::removePopupKeys();
  s = State{};
}

}  // namespace testing

}  // namespace KeyboardShortcuts
