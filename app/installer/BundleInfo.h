#pragma once
// The app's info dictionary, filled in by the build: the About tab shows it,
// and the same values are written into the embedded extension's Info.json,
// which the installer compares with the installed copy.
#include <map>
#include <optional>
#include <string>

namespace tovrelle::bundle {

inline constexpr const char* kDisplayNameKey = "CFBundleDisplayName";
inline constexpr const char* kNameKey = "CFBundleName";
inline constexpr const char* kShortVersionKey = "CFBundleShortVersionString";
inline constexpr const char* kVersionKey = "CFBundleVersion";
inline constexpr const char* kCopyrightKey = "NSHumanReadableCopyright";
inline constexpr const char* kIdentifierKey = "CFBundleIdentifier";

using InfoDictionary = std::map<std::string, std::string>;

// The host app's dictionary as built.
const InfoDictionary& mainInfoDictionary();

// A value of `dictionary`, or nothing when the key is absent.
std::optional<std::string> infoValue(const InfoDictionary& dictionary, const std::string& key);

// The project version ("1.0.0") and the build number ("1").
std::string shortVersion();
std::string buildNumber();

}  // namespace tovrelle::bundle
