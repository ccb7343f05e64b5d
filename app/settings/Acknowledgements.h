#pragma once
// The open-source components the app contains, found from what the program is
// linked with (the build writes that list), so the About tab names exactly
// what we ship.
#include <QString>
#include <QStringList>
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

// The library files the host program links ("libQt6Core.so.6.4.2", …), as
// the build found them.
const std::vector<std::string>& linkedLibraries();

// The components whose libraries appear in `needed` (plus the compiled-in ones).
std::vector<Dependency> acknowledgements(const std::vector<std::string>& needed);

// The same for the host program.
std::vector<Dependency> acknowledgementsOfThisProgram();

}  // namespace tovrelle::settings
