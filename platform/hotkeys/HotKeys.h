#pragma once
// System-wide hot keys: the registration service the shortcut module talks to.
// A registration is a Carbon key code plus Carbon modifiers and an identifier;
// the service reports presses and releases of registered combinations with
// that identifier. While one of the app's own menus holds the keyboard the
// module feeds the menu's key events in as raw key events instead.
//
// Everything here runs on the main thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>

namespace tovrelle::hotkeys {

// "SSKS": the signature of our registrations; events carrying another
// signature belong to someone else in the process and are left alone.
inline constexpr uint32_t kSignature = 0x53534B53;

struct HotKeyID {
  uint32_t signature = 0;
  uint32_t id = 0;
};

// Event kinds of the keyboard event class.
enum class EventKind : int {
  rawKeyDown = 1,
  rawKeyUp = 3,
  hotKeyPressed = 5,
  hotKeyReleased = 6,
};

struct KeyboardEvent {
  EventKind kind = EventKind::hotKeyPressed;
  HotKeyID hotKeyID;       // hot-key kinds
  uint32_t keyCode = 0;    // raw kinds: Carbon key code
  uint32_t modifiers = 0;  // raw kinds: Carbon modifier mask
};

// A handler answers whether it handled the event; unhandled events go on to
// whoever else would see them (a menu keeps its key press).
enum class EventStatus { handled, eventNotHandled };

// Opaque reference of a live registration; never 0.
using HotKeyRef = uint64_t;

class HotKeyCenter {
 public:
  using Handler = std::function<EventStatus(const KeyboardEvent&)>;

  virtual ~HotKeyCenter() = default;

  // Grabs the combination system-wide. None when it cannot be registered
  // (unknown key, or another program already holds the combination).
  virtual std::optional<HotKeyRef> registerHotKey(uint32_t keyCode, uint32_t carbonModifiers,
                                                  HotKeyID id) = 0;
  virtual void unregisterHotKey(HotKeyRef ref) = 0;

  // True when another program holds the combination or the desktop reserves it.
  // Combinations registered through this center are not "taken".
  virtual bool isTakenBySystem(uint32_t keyCode, uint32_t carbonModifiers) = 0;

  // The Carbon key code of the key a native scan code names in the current
  // keyboard mapping (its unshifted level); none when unknown or unsupported.
  virtual std::optional<uint32_t> carbonKeyCodeForScanCode(uint32_t scanCode) const = 0;

  // The character the key types (unshifted) in the current keyboard layout;
  // none when the layout has no plain character there or it is unknown.
  virtual std::optional<char32_t> characterForKeyCode(uint32_t keyCode) const = 0;

  // One handler for the whole process; replaces any earlier one.
  void installHandler(Handler handler) { handler_ = std::move(handler); }
  bool hasHandler() const { return static_cast<bool>(handler_); }
  void addEventTypes(std::initializer_list<EventKind> kinds) { kinds_.insert(kinds); }
  void removeEventTypes(std::initializer_list<EventKind> kinds) {
    for (EventKind k : kinds) kinds_.erase(k);
  }
  bool isListening(EventKind kind) const { return kinds_.count(kind) != 0; }

  // Raw key events from the app's own menus (kinds rawKeyDown/rawKeyUp).
  EventStatus sendRawKeyEvent(EventKind kind, uint32_t keyCode, uint32_t carbonModifiers) {
    KeyboardEvent event;
    event.kind = kind;
    event.keyCode = keyCode;
    event.modifiers = carbonModifiers;
    return deliver(event);
  }

 protected:
  // Hands an event to the handler if its kind is listened to.
  EventStatus deliver(const KeyboardEvent& event) {
    if (!handler_ || !isListening(event.kind)) return EventStatus::eventNotHandled;
    // A copy: the handler may replace itself while it runs.
    Handler handler = handler_;
    return handler(event);
  }

 private:
  Handler handler_;
  std::set<EventKind> kinds_;
};

// A center for sessions without a usable display: nothing registers.
class UnavailableHotKeyCenter final : public HotKeyCenter {
 public:
  std::optional<HotKeyRef> registerHotKey(uint32_t, uint32_t, HotKeyID) override { return std::nullopt; }
  void unregisterHotKey(HotKeyRef) override {}
  bool isTakenBySystem(uint32_t, uint32_t) override { return false; }
  std::optional<uint32_t> carbonKeyCodeForScanCode(uint32_t) const override { return std::nullopt; }
  std::optional<char32_t> characterForKeyCode(uint32_t) const override { return std::nullopt; }
};

}  // namespace tovrelle::hotkeys
