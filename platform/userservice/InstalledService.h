#pragma once
// The camera service as it lies on disk: the copy the app ships in its
// install prefix, the copies installed into the user's data folder, the
// systemd user unit and the autostart entry that start it.
// Stored spellings: users' disks hold these names and Info.json keys; they
// are read and written here only and never change.
// Reentrant: the functions only read files and name them.
#include <filesystem>
#include <optional>
#include <string>

#include "shared/Result.h"

namespace tovrelle::userservice {

// The service's identifier: its copies' folder and its unit are named after it.
inline constexpr const char* kServiceIdentifier = "velkari.tovrelle.cameraextension";
// Prefix-relative folder holding the copy the app ships.
inline constexpr const char* kShippedFolder = "lib/tovrelle/SystemExtensions";
// Under $XDG_DATA_HOME: one folder per identifier, holding the installed copies.
inline constexpr const char* kInstallFolder = "tovrelle/SystemExtensions";
// A copy is a folder "<name>.systemextension" holding Info.json and the program it names.
inline constexpr const char* kCopySuffix = ".systemextension";
inline constexpr const char* kInfoFileName = "Info.json";
inline constexpr const char* kInfoIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kInfoShortVersionKey = "CFBundleShortVersionString";
inline constexpr const char* kInfoVersionKey = "CFBundleVersion";
inline constexpr const char* kInfoExecutableKey = "CFBundleExecutable";
// In the install folder: the link naming the copy that runs.
inline constexpr const char* kCurrentLink = "current";

// "velkari.tovrelle.cameraextension.service" and "….desktop".
std::string serviceUnitName();
std::string autostartEntryName();

// <prefix>/lib/tovrelle/SystemExtensions/velkari.tovrelle.cameraextension.systemextension
std::filesystem::path shippedServicePath(const std::filesystem::path& prefix);

// "<short version>_<build number>.systemextension", the folder of an installed copy.
struct ServiceVersion;
std::string copyFolderName(const ServiceVersion& version);

struct ServiceVersion {
  std::string shortVersion;  // "1.0.0"
  std::string buildNumber;   // "1"
  bool operator==(const ServiceVersion&) const = default;
};

// Both version texts of a copy's Info.json, or nothing when it cannot be
// read or either is missing or not text.
std::optional<ServiceVersion> readServiceVersion(const std::filesystem::path& copy);

struct ServiceCopy {
  ServiceVersion version;
  std::string executable;  // file name inside the copy
};

// Whether a version text is safe to use in file names and unit files.
bool isPlainVersionText(const std::string& text);

// Why a copy cannot be installed: one of the CameraService.h error codes
// (the installer shows the number) and the reason in words.
struct CopyProblem {
  int code = 0;
  std::string message;
};

// A copy that can be installed: readable Info.json naming kServiceIdentifier,
// plain version texts and an executable program; else what is wrong with it.
Result<ServiceCopy, CopyProblem> validateServiceCopy(const std::filesystem::path& copy);

}  // namespace tovrelle::userservice
