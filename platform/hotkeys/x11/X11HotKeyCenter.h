#pragma once
// Global hot keys on an X server: passive key grabs on the root window of a
// connection of our own, read on the Qt event loop.
//
// Thread-bound (main thread): the connection, the grabs and the reports.
#include <memory>

#include "platform/hotkeys/HotKeys.h"

namespace tovrelle::hotkeys {

// Connects to `display` (nullptr: $DISPLAY). Fails with why when no X server
// answers there.
Result<std::unique_ptr<HotKeyCenter>> makeX11HotKeyCenter(const char* display = nullptr);

}  // namespace tovrelle::hotkeys
