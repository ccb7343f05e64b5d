#pragma once
// The app's name, version and copyright as the build fills them in: the
// About tab shows them, and the same values are written into the Info.json of
// the app's copy of the camera service, which the installer compares with the
// installed copy.
#include <map>
#include <optional>
#include <string>

namespace tovrelle::build_info {

inline constexpr const char* kDisplayNameKey = "displayName";
inline constexpr const char* kNameKey = "name";
inline constexpr const char* kShortVersionKey = "version";
inline constexpr const char* kVersionKey = "buildNumber";
inline constexpr const char* kCopyrightKey = "copyright";
inline constexpr const char* kIdentifierKey = "identifier";

using BuildValues = std::map<std::string, std::string>;

// The app's values as built.
const BuildValues& appBuildInfo();

// A value of `values`, or nothing when the key is absent.
std::optional<std::string> buildValue(const BuildValues& values, const std::string& key);

// The project version ("1.0.0") and the build number ("1").
std::string shortVersion();
std::string buildNumber();

}  // namespace tovrelle::build_info
