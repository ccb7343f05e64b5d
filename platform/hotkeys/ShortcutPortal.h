#pragma once
// Global shortcuts on sessions where a program cannot grab keys itself
// (Wayland): the desktop binds named shortcuts for us and reports when one
// is pressed and released. The desktop decides the final key combination;
// ours is only the preferred one it starts from.
//
// Thread-bound (main thread): binding, state and the callbacks.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tovrelle::hotkeys {

struct PortalShortcut {
  std::string id;                // the shortcut's name
  std::string description;       // shown by the desktop's shortcut dialog
  std::string preferredTrigger;  // "CTRL+ALT+LOGO+1"; empty: let the user choose
};

class ShortcutPortal {
 public:
  enum class State { idle, binding, bound, unavailable };

  struct Callbacks {
    std::function<void(const std::string& id)> activated;    // pressed
    std::function<void(const std::string& id)> deactivated;  // released
    // After every change of state(); `reason` says why shortcuts are unavailable.
    std::function<void(State state, const std::string& reason)> stateChanged;
  };

  virtual ~ShortcutPortal() = default;

  // Replaces the whole set of shortcuts bound for this program. The first
  // call opens the session; calls while one is under way are merged.
  virtual void bind(std::vector<PortalShortcut> shortcuts) = 0;
  virtual State state() const = 0;

  void setCallbacks(Callbacks callbacks) { callbacks_ = std::move(callbacks); }

 protected:
  Callbacks callbacks_;
};

// The portal's notation of a stored shortcut: modifiers CTRL, ALT, SHIFT and
// LOGO (the Super key) joined by "+", then the key's symbol name. Empty for
// keys without a symbol.
std::string portalTrigger(uint32_t keyCode, uint32_t modifiers);

}  // namespace tovrelle::hotkeys
