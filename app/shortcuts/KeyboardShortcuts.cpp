#include "app/shortcuts/KeyboardShortcuts.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <cmath>
#include <limits>

#include "app/model/Settings.h"
#include "app/shortcuts/PopupKeys.h"
#include "platform/hotkeys/portal/DesktopPortalShortcuts.h"
#include "platform/hotkeys/x11/X11HotKeyCenter.h"
#include "platform/log/Log.h"

namespace KeyboardShortcuts {

using tovrelle::Settings;
namespace hotkeys = tovrelle::hotkeys;
namespace logging = tovrelle::log;

namespace {

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

// Qt's Wayland platform, or no X11 platform in a Wayland session: grabs on an
// X server would only see keys while one of our own windows has focus.
bool runsOnWayland() {
  const QString platform = QGuiApplication::platformName();
  if (platform.startsWith(QLatin1String("wayland"))) return true;
  return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && platform != QLatin1String("xcb");
}

}  // namespace

QString Name::settingsKey() const { return kSettingsKeyPrefix + rawValue_; }

ShortcutRegistry::Backend ShortcutRegistry::sessionBackend() {
  if (runsOnWayland()) {
    logging::processLog("KeyboardShortcuts: Wayland session; the desktop portal binds the global shortcuts");
    return {std::make_shared<hotkeys::UnavailableHotKeyCenter>("the desktop binds the shortcuts"),
            hotkeys::makeDesktopPortalShortcuts(),
            {}};
  }
  auto x11 = hotkeys::makeX11HotKeyCenter();
  if (!x11) {
    logging::processLog("KeyboardShortcuts: global shortcuts are unavailable: %s", x11.error().c_str());
    return {nullptr, nullptr, x11.error()};
  }
  return {std::move(*x11), nullptr, {}};
}

ShortcutRegistry::ShortcutRegistry(Settings& settings, Backend backend, QObject* parent)
    : QObject(parent), settings_(settings), center_(std::move(backend.keys)), portal_(std::move(backend.portal)) {
  if (!backend.unavailable.empty()) {
    status_ = {false, false, QString::fromStdString(backend.unavailable)};
  } else if (portal_) {
    status_ = {true, true, {}};
  }
  if (!center_) {
    center_ = std::make_shared<hotkeys::UnavailableHotKeyCenter>(
        backend.unavailable.empty() ? std::string("no hot-key service") : backend.unavailable);
  }
  if (portal_) {
    portal_->setCallbacks({
        // Like the hot keys: presses run key-down actions, releases key-up ones.
        [this](const std::string& id) { runPortalActions(keyDownHandlers_, id); },
        [this](const std::string& id) { runPortalActions(keyUpHandlers_, id); },
        [this](hotkeys::ShortcutPortal::State state, const std::string& reason) { portalStateChanged(state, reason); },
    });
  }
  startWatchingPopups();
}

ShortcutRegistry::~ShortcutRegistry() {
  if (portal_) portal_->setCallbacks({});
  for (auto& [id, hotKey] : hotKeys_) {
    if (hotKey->ref) center_->unregisterHotKey(*hotKey->ref);
  }
  if (listening_) center_->setListener({});
  delete popupKeys_.data();
}

// Stored shortcuts that could not be grabbed: shown to the user, who would
// otherwise press them in vain.
void ShortcutRegistry::setRefused(const Shortcut& shortcut, std::optional<QString> reason) {
  bool changed = false;
  if (reason) {
    auto [it, inserted] = refusedShortcuts_.try_emplace(shortcut, *reason);
    changed = inserted || it->second != *reason;
    it->second = *reason;
  } else {
    changed = refusedShortcuts_.erase(shortcut) > 0;
  }
  if (!changed) return;
  if (reason)
    logging::processLog("KeyboardShortcuts: %s does nothing: %s", qPrintable(description(shortcut)),
                        qPrintable(*reason));
  emit refusedShortcutsChanged();
}

void ShortcutRegistry::listenOnce() {
  if (listening_) return;
  listening_ = true;
  center_->setListener([this](uint32_t id, bool pressed) { return handleHotKey(id, pressed); });
  updateGrabs();
}

void ShortcutRegistry::registerShortcut(const Shortcut& shortcut) {
  // Through the portal, or with no way to grab keys at all, nothing is grabbed here.
  if (!grabsKeys()) return;
  const int id = ++hotKeyIdCounter_;
  auto hotKey = std::make_shared<HotKey>();
  hotKey->shortcut = shortcut;
  hotKey->id = id;
  if (!hotKeysSuspended()) {
    auto ref = center_->registerHotKey(static_cast<uint32_t>(shortcut.keyCode),
                                       static_cast<uint32_t>(shortcut.modifiers), static_cast<uint32_t>(id));
    // Someone else holds the combination (or the layout lacks the key): the
    // shortcut does nothing, and the user is told why.
    setRefused(shortcut, ref ? std::nullopt : std::optional<QString>(QString::fromStdString(ref.error())));
    if (!ref) return;
    hotKey->ref = *ref;
  }
  hotKeys_.emplace(id, std::move(hotKey));
  listenOnce();
}

void ShortcutRegistry::unregisterShortcut(const Shortcut& shortcut) {
  for (auto it = hotKeys_.begin(); it != hotKeys_.end();) {
    if (it->second->shortcut == shortcut) {
      if (it->second->ref) center_->unregisterHotKey(*it->second->ref);
      it = hotKeys_.erase(it);
    } else {
      ++it;
    }
  }
}

// Another name with actions that still uses the shortcut keeps its hot key.
bool ShortcutRegistry::stillUsedByAnotherName(const Shortcut& shortcut, const Name& changing) {
  for (const Handlers* handlers : {&keyDownHandlers_, &keyUpHandlers_}) {
    for (const auto& [name, actions] : *handlers) {
      if (name == changing) continue;
      if (storedShortcut(name) == shortcut) return true;
    }
  }
  return false;
}

void ShortcutRegistry::releaseShortcut(const Shortcut& shortcut, const Name& changing) {
  if (stillUsedByAnotherName(shortcut, changing)) return;
  unregisterShortcut(shortcut);
  activeShortcuts_.erase(shortcut);
  setRefused(shortcut, std::nullopt);
}

// While suspended the grabs are given back; afterwards they are taken again,
// and a shortcut someone else took meanwhile is dropped as refused.
void ShortcutRegistry::updateGrabs() {
  if (!listening_) return;
  if (!hotKeysSuspended()) {
    for (auto it = hotKeys_.begin(); it != hotKeys_.end();) {
      HotKey& hotKey = *it->second;
      if (!hotKey.ref) {
        auto ref =
            center_->registerHotKey(static_cast<uint32_t>(hotKey.shortcut.keyCode),
                                    static_cast<uint32_t>(hotKey.shortcut.modifiers), static_cast<uint32_t>(hotKey.id));
        if (!ref) {
          setRefused(hotKey.shortcut, QString::fromStdString(ref.error()));
          it = hotKeys_.erase(it);
          continue;
        }
        hotKey.ref = *ref;
      }
      ++it;
    }
  } else {
    for (auto& [id, hotKey] : hotKeys_) {
      if (hotKey->ref) center_->unregisterHotKey(*hotKey->ref);
      hotKey->ref.reset();
    }
  }
}

void ShortcutRegistry::runHotKey(std::shared_ptr<HotKey> hotKey, bool down) {
  // The actions may change the tables; `hotKey` keeps this one alive.
  dispatch(down ? EventType::keyDown : EventType::keyUp, hotKey->shortcut);
}

// A report of the hot-key service. One queued before the grabs were given
// back is not ours to act on any more.
bool ShortcutRegistry::handleHotKey(uint32_t id, bool pressed) {
  if (hotKeysSuspended()) return false;
  auto it = hotKeys_.find(static_cast<int>(id));
  if (it == hotKeys_.end()) return false;
  runHotKey(it->second, pressed);
  return true;
}

void ShortcutRegistry::dispatch(EventType type, const Shortcut& shortcut) {
  if (handlersPaused_) return;
  // A copy: an action may add handlers or store shortcuts.
  const Handlers handlers = type == EventType::keyDown ? keyDownHandlers_ : keyUpHandlers_;
  for (const auto& [name, actions] : handlers) {
    if (storedShortcut(name) != shortcut) continue;
    for (const Action& action : actions) action();
  }
}

void ShortcutRegistry::runPortalActions(const Handlers& handlers, const std::string& id) {
  if (handlersPaused_) return;
  const QString raw = QString::fromStdString(id);
  for (const auto& [name, actions] : handlers) {
    if (name.rawValue() != raw) continue;
    const auto copy = actions;  // an action may add handlers
    for (const Action& action : copy) action();
  }
}

void ShortcutRegistry::portalStateChanged(hotkeys::ShortcutPortal::State state, const std::string& reason) {
  const bool available = state != hotkeys::ShortcutPortal::State::unavailable;
  const QString why = available ? QString() : QString::fromStdString(reason);
  if (status_.available == available && status_.reason == why) return;
  status_.available = available;
  status_.reason = why;
  if (!available)
    logging::processLog("KeyboardShortcuts: global shortcuts are not available in this session: %s", reason.c_str());
  emit availabilityChanged();
}

// Every name with actions, bound in one call with its current shortcut as
// the preferred trigger. Coalesced: a launch adds three names in a row.
void ShortcutRegistry::scheduleRebind() {
  if (!portal_ || rebindScheduled_) return;
  rebindScheduled_ = true;
  QTimer::singleShot(0, this, [this] { rebind(); });
}

void ShortcutRegistry::rebind() {
  rebindScheduled_ = false;
  std::set<Name> names;
  for (const Handlers* handlers : {&keyDownHandlers_, &keyUpHandlers_})
    for (const auto& [name, actions] : *handlers) names.insert(name);
  std::vector<hotkeys::PortalShortcut> shortcuts;
  for (const Name& name : names) {
    hotkeys::PortalShortcut entry;
    entry.id = name.rawValue().toStdString();
    const QString& description = names_.at(name.rawValue()).description();
    entry.description = description.isEmpty() ? entry.id : description.toStdString();
    if (auto shortcut = storedShortcut(name))
      entry.preferredTrigger =
          hotkeys::portalTrigger(static_cast<uint32_t>(shortcut->keyCode), static_cast<uint32_t>(shortcut->modifiers));
    shortcuts.push_back(std::move(entry));
  }
  portal_->bind(std::move(shortcuts));
}

void ShortcutRegistry::addHandler(Handlers& handlers, const Name& name, Action action) {
  startWatchingPopups();  // in case the registry was made before the application object
  addName(name);
  handlers[name].push_back(std::move(action));
  scheduleRebind();
  if (auto shortcut = storedShortcut(name); shortcut && !activeShortcuts_.count(*shortcut)) {
    registerShortcut(*shortcut);
    activeShortcuts_.insert(*shortcut);
  }
}

void ShortcutRegistry::startWatchingPopups() {
  if (!popupKeys_) popupKeys_ = detail::installPopupKeys(*this);
}

void ShortcutRegistry::addName(const Name& name) {
  if (!names_.try_emplace(name.rawValue(), name).second) return;
  // Only when there is no value at all: a stored false means the user cleared it.
  if (name.defaultShortcut() && !settings_.contains(name.settingsKey())) storeShortcut(name.defaultShortcut(), name);
}

void ShortcutRegistry::onKeyUp(const Name& name, Action action) { addHandler(keyUpHandlers_, name, std::move(action)); }

void ShortcutRegistry::onKeyDown(const Name& name, Action action) {
  addHandler(keyDownHandlers_, name, std::move(action));
}

std::optional<Shortcut> ShortcutRegistry::storedShortcut(const Name& name) {
  addName(name);
  const QString key = name.settingsKey();
  const QVariant value = settings_.object(key);
  if (!value.isValid() || tovrelle::isStoredFalse(value)) return std::nullopt;
  const std::optional<Shortcut> shortcut = decode(value);
  if (!shortcut && reportedBadValues_.insert(key).second) {
    logging::processLog("KeyboardShortcuts: ignoring the unreadable value stored under %s", qPrintable(key));
  }
  return shortcut;
}

void ShortcutRegistry::storeShortcut(const std::optional<Shortcut>& shortcut, const Name& name) {
  addName(name);
  if (shortcut) {
    const QString text = encode(*shortcut);
    if (text.isEmpty()) return;
    if (auto old = storedShortcut(name)) releaseShortcut(*old, name);
    if (!activeShortcuts_.count(*shortcut)) {
      registerShortcut(*shortcut);
      activeShortcuts_.insert(*shortcut);
    }
    settings_.setValue(name.settingsKey(), text);
  } else {
    auto old = storedShortcut(name);
    if (!old) return;
    if (name.defaultShortcut()) {
      settings_.setValue(name.settingsKey(), false);
    } else {
      settings_.remove(name.settingsKey());
    }
    releaseShortcut(*old, name);
  }
  reportedBadValues_.erase(name.settingsKey());
  scheduleRebind();
  emit shortcutByNameDidChange(name);
}

void ShortcutRegistry::setHandlersPaused(bool paused) {
  if (handlersPaused_ == paused) return;
  handlersPaused_ = paused;
  updateGrabs();
}

void ShortcutRegistry::setPopupOpen(bool open) {
  if (popupOpen_ == open) return;
  popupOpen_ = open;
  updateGrabs();
}

bool ShortcutRegistry::isTakenBySystem(const Shortcut& shortcut) {
  // One of our own names may hold it (perhaps released while recording);
  // sharing a shortcut is allowed. A shortcut we failed to register is not ours.
  for (const auto& [id, hotKey] : hotKeys_) {
    if (hotKey->shortcut == shortcut) return false;
  }
  return center_->isTakenBySystem(static_cast<uint32_t>(shortcut.keyCode), static_cast<uint32_t>(shortcut.modifiers));
}

bool ShortcutRegistry::handlePopupKey(EventType type, const Shortcut& shortcut) {
  if (!popupOpen_ || !listening_) return false;
  for (const auto& [id, hotKey] : hotKeys_) {
    if (hotKey->shortcut == shortcut) {
      runHotKey(hotKey, type == EventType::keyDown);
      return true;
    }
  }
  return false;
}

QString ShortcutRegistry::keyText(int keyCode) const { return KeyboardShortcuts::keyText(keyCode, *center_); }

QString ShortcutRegistry::description(const Shortcut& shortcut) const { return describe(shortcut, *center_); }

std::optional<Shortcut> ShortcutRegistry::shortcutOf(const QKeyEvent& event) const {
  return KeyboardShortcuts::shortcutOf(event, *center_);
}

}  // namespace KeyboardShortcuts
