#pragma once
// System-wide hot keys: the registration service the shortcut module talks
// to. A registration is a key code and modifier mask of the key table
// (KeyCodes.h) plus the caller's identifier; the service reports presses and
// releases of registered combinations with that identifier.
//
// Thread-bound (main thread): registrations, the listener and its calls.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "shared/Result.h"

namespace tovrelle::hotkeys {

// Opaque reference of a live registration; never 0.
using HotKeyRef = uint64_t;

class HotKeyCenter {
 public:
  // A registered combination went down (`pressed`) or up. Answers whether
  // the listener took it.
  using Listener = std::function<bool(uint32_t id, bool pressed)>;

  virtual ~HotKeyCenter() = default;

  // Grabs the combination system-wide. Fails with why it cannot be had, in
  // words that follow "<shortcut> does nothing: " (another program holds it,
  // the keyboard layout has no such key, the display is gone...).
  virtual Result<HotKeyRef> registerHotKey(uint32_t keyCode, uint32_t modifiers, uint32_t id) = 0;
  virtual void unregisterHotKey(HotKeyRef ref) = 0;

  // True when another program holds the combination or the desktop reserves it.
  // Combinations registered through this center are not "taken".
  virtual bool isTakenBySystem(uint32_t keyCode, uint32_t modifiers) = 0;

  // The key code of the key a native scan code names in the current
  // keyboard mapping (its unshifted level); none when unknown or unsupported.
  virtual std::optional<uint32_t> keyCodeForScanCode(uint32_t scanCode) const = 0;

  // The character the key types (unshifted) in the current keyboard layout;
  // none when the layout has no plain character there or it is unknown.
  virtual std::optional<char32_t> characterForKeyCode(uint32_t keyCode) const = 0;

  // One listener per center (so one shortcut registry per center); replaces
  // any earlier one.
  void setListener(Listener listener) { listener_ = std::move(listener); }

 protected:
  bool report(uint32_t id, bool pressed) {
    if (!listener_) return false;
    // A copy: the listener may replace itself while it runs.
    Listener listener = listener_;
    return listener(id, pressed);
  }

 private:
  Listener listener_;
};

// A center for sessions without a usable display: nothing registers, and
// every registration fails with `reason`.
class UnavailableHotKeyCenter final : public HotKeyCenter {
 public:
  explicit UnavailableHotKeyCenter(std::string reason) : reason_(std::move(reason)) {}

  Result<HotKeyRef> registerHotKey(uint32_t, uint32_t, uint32_t) override { return Unexpected{reason_}; }
  void unregisterHotKey(HotKeyRef) override {}
  bool isTakenBySystem(uint32_t, uint32_t) override { return false; }
  std::optional<uint32_t> keyCodeForScanCode(uint32_t) const override { return std::nullopt; }
  std::optional<char32_t> characterForKeyCode(uint32_t) const override { return std::nullopt; }

 private:
  std::string reason_;
};

}  // namespace tovrelle::hotkeys
