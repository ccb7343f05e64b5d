#pragma once
// Global shortcuts through the desktop portal's GlobalShortcuts interface on
// the session bus.
#include <chrono>
#include <memory>

#include "platform/hotkeys/ShortcutPortal.h"

namespace tovrelle::hotkeys {

// `answerTimeout`: how long a request may go unanswered before the shortcuts
// are given up as unavailable (the portal waits on the desktop without limit).
std::unique_ptr<ShortcutPortal> makeDesktopPortalShortcuts(
    std::chrono::milliseconds answerTimeout = std::chrono::seconds(30));

}  // namespace tovrelle::hotkeys
