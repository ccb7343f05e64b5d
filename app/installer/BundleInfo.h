#pragma once
// The app's name, version and copyright as the build fills them in: the
// About tab shows them, and the same values are written into the Info.json of
// the app's copy of the camera service, which the installer compares with the
// installed copy.
#include <map>
#include <optional>
#include <string>

namespace tovrelle::bundle {

inline constexpr const char* kDisplayNameKey = "displayName";
inline constexpr const char* kNameKey = "name";
inline constexpr const char* kShortVersionKey = "version";
inline constexpr const char* kVersionKey = "buildNumber";
inline constexpr const char* kCopyrightKey = "copyright";
inline constexpr const char* kIdentifierKey = "identifier";

using InfoDictionary = std::map<std::string, std::string>;

// The host app's dictionary as built.
const InfoDictionary& mainInfoDictionary();

// A value of `dictionary`, or nothing when the key is absent.
std::optional<std::string> infoValue(const InfoDictionary& dictionary, const std::string& key);

// The project version ("1.0.0") and the build number ("1").
std::string shortVersion();
std::string buildNumber();

}  // namespace tovrelle::bundle
