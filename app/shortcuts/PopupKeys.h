#pragma once
// While one of the app's popups is open (a menu, the tray panel), Qt holds
// the keyboard and the global grabs stay silent. An application-wide event
// filter notices popups opening and closing and hands their key events to
// the hot-key matching of one registry.
//
// Thread-bound (main thread): the filter lives on the application object.
#include <QObject>

namespace KeyboardShortcuts {
class ShortcutRegistry;
}

namespace KeyboardShortcuts::detail {

// The filter, owned by the application object (deleting it removes it);
// null while there is no QApplication yet (try again later). `registry`
// must outlive it.
QObject* installPopupKeys(ShortcutRegistry& registry);

}  // namespace KeyboardShortcuts::detail
