#pragma once
// The on-disk form of an extension bundle: a folder named
// "<identifier>.systemextension" holding "Info.json" (the info dictionary)
// and the executable it names. The app ships one inside its install prefix
// under kEmbeddedExtensionsFolder.
#include <filesystem>
#include <optional>
#include <string>

namespace tovrelle::sysext {

// Prefix-relative folder of the extensions that ship with the app.
inline constexpr const char* kEmbeddedExtensionsFolder = "lib/tovrelle/SystemExtensions";
inline constexpr const char* kBundleExtension = ".systemextension";
inline constexpr const char* kInfoFileName = "Info.json";

inline constexpr const char* kInfoIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kInfoShortVersionKey = "CFBundleShortVersionString";
inline constexpr const char* kInfoVersionKey = "CFBundleVersion";
inline constexpr const char* kInfoExecutableKey = "CFBundleExecutable";

// <bundle>/lib/tovrelle/SystemExtensions/<identifier>.systemextension
std::filesystem::path embeddedExtensionPath(const std::filesystem::path& appBundle, const std::string& identifier);

struct ExtensionVersion {
  std::string shortVersion;   // "CFBundleShortVersionString"
  std::string bundleVersion;  // "CFBundleVersion"
  bool operator==(const ExtensionVersion&) const = default;
};

// Both version texts of the bundle's info dictionary, or nothing when the
// dictionary cannot be read or either key is missing or not text.
std::optional<ExtensionVersion> readExtensionVersion(const std::filesystem::path& bundle);

struct ExtensionInfo {
  std::string identifier;
  ExtensionVersion version;
  std::string executable;  // file name inside the bundle
};

// Whether a version text is safe to use in file names and service files.
bool isPlainVersionText(const std::string& text);

// A bundle that can be installed: readable dictionary, the expected
// identifier, plain version texts and an executable file. On failure the
// result is empty and `code` / `problem` say why (kErrorDomain codes).
std::optional<ExtensionInfo> validateExtensionBundle(const std::filesystem::path& bundle,
                                                     const std::string& identifier, int& code,
                                                     std::string& problem);

}  // namespace tovrelle::sysext
