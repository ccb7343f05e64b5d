#pragma once
// While one of the app's menus or its popover is open, Qt holds the keyboard
// and the global grabs stay silent. An application-wide event filter notices
// these popups opening and closing and hands their key events to the hot-key
// matching.
namespace KeyboardShortcuts::detail {

// False while there is no QApplication yet (try again later).
bool installMenuTracking();
void removeMenuTracking();

}  // namespace KeyboardShortcuts::detail
