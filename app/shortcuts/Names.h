#pragma once
// The app's three shortcut names with their defaults. Each is created on its
// first use (which stores the default once), so using a name before the
// settings store is set up is not possible by accident at static init.
//
// Thread-bound (main thread), like the rest of the module.
#include "app/shortcuts/KeyboardShortcuts.h"

namespace KeyboardShortcuts {

// A name created on first use; converts to `const Name&`.
class ApplicationName {
 public:
  constexpr ApplicationName(const char* rawValue, Shortcut defaultShortcut, const char* description)
      : rawValue_(rawValue), default_(defaultShortcut), description_(description) {}

  const Name& get() const;
  operator const Name&() const { return get(); }

 private:
  const char* rawValue_;
  Shortcut default_;
  const char* description_;  // what the desktop's shortcut dialog lists
};

namespace Names {
// Ctrl+Alt+Super+0, 1 and 2 (the stored modifier mask Ctrl + Alt + Super is 6400).
inline constexpr int kDefaultModifiers =
    tovrelle::hotkeys::modifier::control | tovrelle::hotkeys::modifier::alt | tovrelle::hotkeys::modifier::super;
inline constexpr ApplicationName cameraOff{"cameraOff", Shortcut(tovrelle::hotkeys::key::zero, kDefaultModifiers),
                                           "Turn the Tovrelle camera off"};
inline constexpr ApplicationName cameraOn{"cameraOn", Shortcut(tovrelle::hotkeys::key::one, kDefaultModifiers),
                                          "Turn the Tovrelle camera on"};
inline constexpr ApplicationName showLastImage{"showLastImage",
                                               Shortcut(tovrelle::hotkeys::key::two, kDefaultModifiers),
                                               "Show the last image on the Tovrelle camera"};
}  // namespace Names

}  // namespace KeyboardShortcuts
