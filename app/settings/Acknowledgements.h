#pragma once
// The open-source components the app contains, found from what the running
// program is linked with, so the About tab names exactly what we ship.
#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tovrelle::settings {

// One acknowledgement row of the About tab.
struct Dependency {
  QString name;
  QString author;
  QString license;
  QString url;  // address of the licence text
  friend bool operator==(const Dependency&, const Dependency&) = default;
};

// A component the app may contain and the shared libraries that bring it.
struct Component {
  Dependency dependency;
  // Library names without ".so…" ("libpipewire-0.3"); a trailing "*" matches
  // any name with that start ("libQt6*"). Empty: compiled into the program
  // (header-only), so always shipped.
  QStringList libraries;
};

// Every component the app may link, in the order the About tab lists them.
const std::vector<Component>& knownComponents();

// Libraries of the C and C++ runtime (and the sanitizers' in checking
// builds), part of every program and of the system.
bool isSystemRuntimeLibrary(const std::string& needed);

// The component a linked library ("libxcb-xkb.so.1") belongs to; null for
// libraries no component claims.
const Component* componentOf(const std::string& needed);

// The DT_NEEDED entries of an ELF file ("libQt6Core.so.6", …); none when the
// file cannot be read or is not a 64-bit ELF of this machine's byte order.
std::optional<std::vector<std::string>> neededLibraries(const std::filesystem::path& file);

// The components whose libraries appear in `needed` (plus the compiled-in ones).
std::vector<Dependency> acknowledgements(const std::vector<std::string>& needed);

// The same for the running program (read from /proc/self/exe). When that
// cannot be read: the compiled-in components and Qt, which this window runs on.
std::vector<Dependency> acknowledgementsOfThisProgram();

}  // namespace tovrelle::settings
