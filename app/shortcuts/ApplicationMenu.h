#pragma once
// The app's own menus whose key equivalents a recorded shortcut must not
// take. The app lives in the tray and has no menu bar; whatever menus it
// gives key equivalents register here.
#include <QString>
#include <optional>

#include "app/shortcuts/KeyboardShortcuts.h"

class QWidget;

namespace KeyboardShortcuts {

// A QMenu or QMenuBar; submenus are searched too. Destroyed menus drop out.
void registerApplicationMenu(QWidget* menu);
void unregisterApplicationMenu(QWidget* menu);

// The title of the first menu item whose key equivalent is `shortcut`.
std::optional<QString> menuItemTitle(const Shortcut& shortcut);

}  // namespace KeyboardShortcuts
