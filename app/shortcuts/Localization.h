#pragma once
// The shortcut field's texts come from the module's own translations,
// compiled into the program as a Qt resource.
//
// Thread-bound (main thread): the translator is made on first use there.
#include <QString>

namespace KeyboardShortcuts {

// The display text of one of the field's keys ("record_shortcut", ...)
// in the user's language, English when there is no translation for it.
QString localized(const char* key);

}  // namespace KeyboardShortcuts
