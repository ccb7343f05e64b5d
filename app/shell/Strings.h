#pragma once
// The app's string table: id-based translations ("menu.cameraOff"), compiled
// from translations/tovrelle_<lang>.ts and embedded in the program.
#include <QString>

class QCoreApplication;

namespace tovrelle::strings {

// Installs the table for the user's language (English when there is none)
// on `app`. Returns false when no table could be loaded.
bool install(QCoreApplication& app);

// The resource folder the compiled tables live in.
QString resourceFolder();

}  // namespace tovrelle::strings
