#pragma once
// The recorder's texts come from the module's own translations, compiled
// into the program as a Qt resource.
#include <QString>

namespace KeyboardShortcuts {

// The display text of one of the recorder's keys ("record_shortcut", ...)
// in the user's language, English when there is no translation for it.
QString localized(const char* key);

}  // namespace KeyboardShortcuts
