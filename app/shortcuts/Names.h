#pragma once
// The app's three shortcut names with their defaults. A registry stores a
// name's default the first time it meets the name (ShortcutRegistry::addName).
#include <array>

#include "app/shortcuts/KeyboardShortcuts.h"

namespace KeyboardShortcuts::Names {

// Ctrl+Alt+Super+0, 1 and 2 (the stored modifier mask Ctrl + Alt + Super is 6400).
inline constexpr int kDefaultModifiers =
    tovrelle::hotkeys::modifier::control | tovrelle::hotkeys::modifier::alt | tovrelle::hotkeys::modifier::super;
// The descriptions are what the desktop's shortcut dialog lists.
inline const Name cameraOff{QStringLiteral("cameraOff"), Shortcut(tovrelle::hotkeys::key::zero, kDefaultModifiers),
                            QStringLiteral("Turn the Tovrelle camera off")};
inline const Name cameraOn{QStringLiteral("cameraOn"), Shortcut(tovrelle::hotkeys::key::one, kDefaultModifiers),
                           QStringLiteral("Turn the Tovrelle camera on")};
inline const Name showLastImage{QStringLiteral("showLastImage"),
                                Shortcut(tovrelle::hotkeys::key::two, kDefaultModifiers),
                                QStringLiteral("Show the last image on the Tovrelle camera")};

// In the order the settings window lists them.
inline const std::array<const Name*, 3> all = {&cameraOff, &cameraOn, &showLastImage};

}  // namespace KeyboardShortcuts::Names
