#pragma once
// While one of the app's popups is open (a menu, the tray panel), Qt holds
// the keyboard and the global grabs stay silent. An application-wide event
// filter notices popups opening and closing and hands their key events to
// the hot-key matching.
//
// Thread-bound (main thread): the filter lives on the application object.
namespace KeyboardShortcuts::detail {

// False while there is no QApplication yet (try again later).
bool installPopupKeys();
void removePopupKeys();

}  // namespace KeyboardShortcuts::detail
