#include "platform/hotkeys/x11/X11HotKeyCenter.h"

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
// xkb.h names a member "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#define XK_MISCELLANY
#include <X11/keysymdef.h>

#include <QMetaObject>
#include <QSocketNotifier>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/hotkeys/KeyCodes.h"
#include "platform/log/Log.h"

namespace tovrelle::hotkeys {
namespace {

constexpr uint16_t kShortcutModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

uint16_t xModifiers(uint32_t modifiers) {
  uint16_t mods = 0;
  for (int i = 0; i < kModifierCount; ++i) {
    if (modifiers & hotkeys::modifiers()[i].bit) mods |= hotkeys::modifiers()[i].xMask;
  }
  return mods;
}

// Combinations the server or the desktop acts on without any client grab:
// Ctrl+Alt+Backspace ends the session, Ctrl+Alt+F1..F12 switch consoles,
// Ctrl+Alt+Delete brings up the log-out dialog.
bool isReservedByDesktop(uint32_t keyCode, uint32_t modifiers) {
  if ((modifiers & modifier::all) != (modifier::control | modifier::alt)) return false;
  if (keyCode == key::backspace || keyCode == key::deleteKey) return true;
  auto number = functionKeyNumber(keyCode);
  return number && *number <= 12;
}

constexpr const char* kConnectionLost = "the connection to the X server is lost";

// Why a key of the table has no keycode to grab.
std::string noKeyReason(uint32_t keyCode) {
  const KeyInfo* info = keyInfo(keyCode);
  if (!info || info->keysym == 0) return log::format("key %u has no X key symbol", keyCode);
  return "no key of the current keyboard layout types it";
}

class X11HotKeyCenter final : public HotKeyCenter {
 public:
  X11HotKeyCenter(xcb_connection_t* connection, xcb_window_t root)
      : connection_(connection), root_(root), symbols_(xcb_key_symbols_alloc(connection)) {
    enableDetectableAutoRepeat();
    numLockMask_ = findNumLockMask();
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { drainEvents(); });
  }

  ~X11HotKeyCenter() override {
    notifier_.reset();
    if (!broken_) {
      for (auto& [ref, registration] : registrations_) ungrab(registration.keycodes, registration.xmods);
      xcb_flush(connection_);
    }
    xcb_key_symbols_free(symbols_);
    xcb_disconnect(connection_);
  }

  Result<HotKeyRef> registerHotKey(uint32_t keyCode, uint32_t modifiers, uint32_t id) override {
    if (broken_) return Unexpected{kConnectionLost};
    Registration registration{keyCode, modifiers, id, keycodesFor(keyCode), xModifiers(modifiers)};
    if (registration.keycodes.empty()) return Unexpected{noKeyReason(keyCode)};
    if (Result<void> grabbed = grab(registration.keycodes, registration.xmods); !grabbed)
      return Unexpected{grabbed.error()};
    HotKeyRef ref = nextRef_++;
    registrations_.emplace(ref, std::move(registration));
    return ref;
  }

  void unregisterHotKey(HotKeyRef ref) override {
    auto it = registrations_.find(ref);
    if (it == registrations_.end()) return;
    if (!broken_) {
      ungrab(it->second.keycodes, it->second.xmods);
      sync();
    }
    registrations_.erase(it);
  }

  bool isTakenBySystem(uint32_t keyCode, uint32_t modifiers) override {
    if (isReservedByDesktop(keyCode, modifiers)) return true;
    if (broken_) return false;
    const uint16_t mods = xModifiers(modifiers);
    const std::vector<xcb_keycode_t> keycodes = keycodesFor(keyCode);
    // A grab of our own would be replaced and then dropped by the probe.
    for (const auto& [ref, registration] : registrations_) {
      if (registration.xmods != mods) continue;
      for (xcb_keycode_t held : registration.keycodes) {
        for (xcb_keycode_t wanted : keycodes) {
          if (held == wanted) return false;
        }
      }
    }
    bool taken = false;
    for (xcb_keycode_t keycode : keycodes) {
      xcb_void_cookie_t cookie =
          xcb_grab_key_checked(connection_, 0, root_, mods, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
      if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
        std::free(error);
        taken = true;
      } else {
        xcb_ungrab_key(connection_, keycode, root_, mods);
      }
    }
    sync();
    scheduleDrain();
    return taken;
  }

  std::optional<uint32_t> keyCodeForScanCode(uint32_t scanCode) const override {
    if (broken_ || scanCode < 8 || scanCode > 255) return std::nullopt;
    xcb_keysym_t keysym = xcb_key_symbols_get_keysym(symbols_, static_cast<xcb_keycode_t>(scanCode), 0);
    if (keysym == XCB_NO_SYMBOL) return std::nullopt;
    return codeForKeysym(keysym);
  }

  std::optional<char32_t> characterForKeyCode(uint32_t keyCode) const override {
    if (broken_) return std::nullopt;
    const std::vector<xcb_keycode_t> keycodes = keycodesFor(keyCode);
    if (keycodes.empty()) return std::nullopt;
    const xcb_keysym_t keysym = xcb_key_symbols_get_keysym(symbols_, keycodes.front(), 0);
    // Latin-1 symbols are their own code points; 0x01xxxxxx carries any other.
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff)) return char32_t(keysym);
    if ((keysym & 0xff000000) == 0x01000000) return char32_t(keysym & 0x00ffffff);
    return std::nullopt;
  }

 private:
  struct Registration {
    uint32_t keyCode;
    uint32_t modifiers;
    uint32_t id;
    std::vector<xcb_keycode_t> keycodes;
    uint16_t xmods;
  };

  // Waits until the server has handled everything sent so far, so a key we
  // give back is free for others once we return.
  void sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    scheduleDrain();
  }

  // Every keycode that produces the key's symbol in the current mapping.
  std::vector<xcb_keycode_t> keycodesFor(uint32_t keyCode) const {
    std::vector<xcb_keycode_t> result;
    const KeyInfo* info = keyInfo(keyCode);
    if (!info || info->keysym == 0) return result;
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols_, info->keysym);
    if (!codes) return result;
    for (xcb_keycode_t* code = codes; *code != XCB_NO_SYMBOL; ++code) {
      bool seen = false;
      for (xcb_keycode_t known : result) seen = seen || known == *code;
      if (!seen) result.push_back(*code);
    }
    std::free(codes);
    return result;
  }

  // A lit Num Lock or Caps Lock is part of the modifier state X matches, so
  // each grab is taken for all their combinations.
  std::vector<uint16_t> lockCombinations() const {
    std::vector<uint16_t> combos = {0, XCB_MOD_MASK_LOCK};
    if (numLockMask_ != 0 && numLockMask_ != XCB_MOD_MASK_LOCK) {
      combos.push_back(numLockMask_);
      combos.push_back(static_cast<uint16_t>(numLockMask_ | XCB_MOD_MASK_LOCK));
    }
    return combos;
  }

  Result<void> grab(const std::vector<xcb_keycode_t>& keycodes, uint16_t mods) {
    std::vector<xcb_void_cookie_t> cookies;
    for (xcb_keycode_t keycode : keycodes) {
      for (uint16_t lock : lockCombinations()) {
        cookies.push_back(xcb_grab_key_checked(connection_, 0, root_, static_cast<uint16_t>(mods | lock), keycode,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
      }
    }
    uint8_t refusal = 0;  // the first error code, 0 for none
    for (xcb_void_cookie_t cookie : cookies) {
      if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
        if (!refusal) refusal = error->error_code;
        std::free(error);
      }
    }
    // Another client holds the combination: give back the parts we got.
    if (refusal) ungrab(keycodes, mods);
    xcb_flush(connection_);
    scheduleDrain();
    if (xcb_connection_has_error(connection_)) return Unexpected{kConnectionLost};
    // The server answers a grab someone else holds with BadAccess.
    if (refusal == XCB_ACCESS) return Unexpected{"another program or the desktop holds it"};
    if (refusal) return Unexpected{log::format("the X server refused to grab it (X error %u)", unsigned(refusal))};
    return {};
  }

  void ungrab(const std::vector<xcb_keycode_t>& keycodes, uint16_t mods) {
    for (xcb_keycode_t keycode : keycodes) {
      for (uint16_t lock : lockCombinations()) {
        xcb_ungrab_key(connection_, keycode, root_, static_cast<uint16_t>(mods | lock));
      }
    }
  }

  // Without this a held key reports a release before every repeated press,
  // and a key-up action would run over and over.
  void enableDetectableAutoRepeat() {
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection_, &xcb_xkb_id);
    bool enabled = false;
    if (extension && extension->present) {
      xcb_xkb_use_extension_reply_t* use =
          xcb_xkb_use_extension_reply(connection_, xcb_xkb_use_extension(connection_, 1, 0), nullptr);
      if (use && use->supported) {
        xcb_xkb_per_client_flags_reply_t* flags = xcb_xkb_per_client_flags_reply(
            connection_,
            xcb_xkb_per_client_flags(connection_, XCB_XKB_ID_USE_CORE_KBD,
                                     XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT,
                                     XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT, 0, 0, 0),
            nullptr);
        enabled = flags && (flags->value & XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT);
        std::free(flags);
        // A client that speaks XKB is told of layout changes by XKB events
        // only; the core mapping notice may never come.
        const uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
        const uint16_t parts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP;
        xcb_xkb_select_events(connection_, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, parts, parts, nullptr);
        xkbFirstEvent_ = extension->first_event;
      }
      std::free(use);
    }
    if (!enabled) log::processLog("X11HotKeyCenter: detectable auto-repeat unavailable; held keys repeat releases");
  }

  uint16_t findNumLockMask() const {
    uint16_t mask = 0;
    xcb_keycode_t* numLock = xcb_key_symbols_get_keycode(symbols_, XK_Num_Lock);
    xcb_get_modifier_mapping_reply_t* reply =
        xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr);
    if (numLock && reply) {
      const xcb_keycode_t* map = xcb_get_modifier_mapping_keycodes(reply);
      const int perModifier = reply->keycodes_per_modifier;
      for (int modifier = 0; modifier < 8 && mask == 0; ++modifier) {
        for (int i = 0; i < perModifier && mask == 0; ++i) {
          xcb_keycode_t code = map[modifier * perModifier + i];
          if (code == XCB_NO_SYMBOL) continue;
          for (xcb_keycode_t* n = numLock; *n != XCB_NO_SYMBOL; ++n) {
            if (*n == code) mask = static_cast<uint16_t>(1u << modifier);
          }
        }
      }
    }
    std::free(reply);
    std::free(numLock);
    return mask;
  }

  // Replies we waited for may have pulled events off the socket; those sit
  // in xcb's queue where the socket notifier does not see them.
  void scheduleDrain() {
    if (notifier_)
      QMetaObject::invokeMethod(
          notifier_.get(), [this] { drainEvents(); }, Qt::QueuedConnection);
  }

  void drainEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
      handleEvent(event);
      std::free(event);
    }
    if (!broken_ && xcb_connection_has_error(connection_)) {
      broken_ = true;
      notifier_->setEnabled(false);
      log::processLog("X11HotKeyCenter: lost the connection to the X server; global shortcuts stop");
    }
  }

  void handleEvent(xcb_generic_event_t* event) {
    switch (event->response_type & ~0x80) {
      case XCB_KEY_PRESS: {
        auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
        // With detectable auto-repeat a held key sends presses only; the
        // first one counts.
        if (held_.count(press->detail)) return;
        const uint16_t mods = press->state & kShortcutModifiers;
        for (const auto& [ref, registration] : registrations_) {
          if (registration.xmods != mods) continue;
          for (xcb_keycode_t keycode : registration.keycodes) {
            if (keycode != press->detail) continue;
            held_[press->detail] = ref;
            report(registration.id, true);
            return;
          }
        }
        return;
      }
      case XCB_KEY_RELEASE: {
        auto* release = reinterpret_cast<xcb_key_release_event_t*>(event);
        // The grab stays ours until the key goes up, whatever happened to
        // the modifiers in between.
        auto it = held_.find(release->detail);
        if (it == held_.end()) return;
        HotKeyRef ref = it->second;
        held_.erase(it);
        auto registration = registrations_.find(ref);
        if (registration != registrations_.end()) report(registration->second.id, false);
        return;
      }
      case XCB_MAPPING_NOTIFY: {
        auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
        if (mapping->request == XCB_MAPPING_POINTER) return;
        xcb_refresh_keyboard_mapping(symbols_, mapping);
        scheduleRemap();
        return;
      }
      default:
        if (xkbFirstEvent_ && (event->response_type & ~0x80) == xkbFirstEvent_) {
          const uint8_t xkbType = reinterpret_cast<xcb_xkb_map_notify_event_t*>(event)->xkbType;
          if (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY) {
            mappingStale_ = true;
            scheduleRemap();
          }
        }
        return;
    }
  }

  // One change arrives as a burst of notices; regrab once after them.
  void scheduleRemap() {
    if (remapPending_ || !notifier_) return;
    remapPending_ = true;
    QMetaObject::invokeMethod(
        notifier_.get(), [this] { remap(); }, Qt::QueuedConnection);
  }

  // The keyboard layout changed: the same keys may now sit on other keycodes.
  // The server also reports a change whenever another keyboard device (a
  // second keyboard, synthetic input) becomes the active one; then nothing
  // moved and the grabs stay as they are.
  void remap() {
    remapPending_ = false;
    if (broken_) return;
    if (mappingStale_) {
      xcb_key_symbols_free(symbols_);
      symbols_ = xcb_key_symbols_alloc(connection_);
      mappingStale_ = false;
    }
    const uint16_t newNumLockMask = findNumLockMask();
    std::vector<std::pair<Registration*, std::vector<xcb_keycode_t>>> moved;
    for (auto& [ref, registration] : registrations_) {
      std::vector<xcb_keycode_t> keycodes = keycodesFor(registration.keyCode);
      if (keycodes != registration.keycodes || newNumLockMask != numLockMask_) {
        moved.emplace_back(&registration, std::move(keycodes));
      }
    }
    for (auto& [registration, keycodes] : moved) ungrab(registration->keycodes, registration->xmods);
    numLockMask_ = newNumLockMask;
    // Keys held right now keep their keycode until released: `held_` stays.
    for (auto& [registration, keycodes] : moved) {
      registration->keycodes = std::move(keycodes);
      const Result<void> grabbed = registration->keycodes.empty()
                                       ? Result<void>(Unexpected{noKeyReason(registration->keyCode)})
                                       : grab(registration->keycodes, registration->xmods);
      if (!grabbed) {
        log::processLog("X11HotKeyCenter: shortcut key %u modifiers %u does nothing after a keyboard change: %s",
                        registration->keyCode, registration->modifiers, grabbed.error().c_str());
        registration->keycodes.clear();
      }
    }
    sync();
  }

  xcb_connection_t* connection_;
  xcb_window_t root_;
  xcb_key_symbols_t* symbols_;
  std::unique_ptr<QSocketNotifier> notifier_;
  uint16_t numLockMask_ = 0;
  std::map<HotKeyRef, Registration> registrations_;
  HotKeyRef nextRef_ = 1;
  std::map<xcb_keycode_t, HotKeyRef> held_;  // keys down through one of our grabs
  bool broken_ = false;
  uint8_t xkbFirstEvent_ = 0;  // 0: no XKB events selected
  bool mappingStale_ = false;
  bool remapPending_ = false;
};

}  // namespace

Result<std::unique_ptr<HotKeyCenter>> makeX11HotKeyCenter(const char* display) {
  const char* name = display ? display : std::getenv("DISPLAY");
  if (!name || !*name) return Unexpected{"no X display, as DISPLAY is not set"};
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(display, &screenNumber);
  if (!connection || xcb_connection_has_error(connection)) {
    if (connection) xcb_disconnect(connection);
    return Unexpected{log::format("no X server answers at %s", name)};
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
  if (!screens.rem) {
    xcb_disconnect(connection);
    return Unexpected{log::format("the X server at %s has no screen %d", name, screenNumber)};
  }
  std::unique_ptr<HotKeyCenter> center = std::make_unique<X11HotKeyCenter>(connection, screens.data->root);
  return center;
}

}  // namespace tovrelle::hotkeys
