#pragma once
// The data folder both processes resolve the same way, its files and the
// heartbeat. Reading and writing them goes through shared/Files.h.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "shared/Files.h"
#include "shared/Result.h"

namespace tovrelle {

// The data folder's name under $XDG_DATA_HOME. Earlier versions used the
// legacy name below, which users' disks still hold; while a folder of that
// name is left (its move failed), both processes keep using it so nothing
// goes missing.
inline constexpr const char* kDataFolderName = "tovrelle";
inline constexpr const char* kLegacyDataFolderName = "Q7KX2RW9ZC.velkari.tovrelle";
inline constexpr const char* kStateFileName = "state.json";
inline constexpr const char* kImagesFileName = "images.json";
inline constexpr const char* kHeartbeatFileName = "heartbeat";
inline constexpr const char* kImagesFolderName = "Images";
inline constexpr const char* kVirtualCameraName = "Tovrelle";
// Set to use another data folder (tests, sandboxes); both processes honour it.
inline constexpr const char* kDataDirEnv = "TOVRELLE_DATA_DIR";
// The installed app's program, handed to the camera service the app installs:
// the service ends once it is gone (the app's package removed).
inline constexpr const char* kInstalledAppEnv = "TOVRELLE_APP";

// Resolved anew at every call: $TOVRELLE_DATA_DIR, else $XDG_DATA_HOME/tovrelle
// (or ~/.local/share/tovrelle; the old-named folder there while it exists),
// created when missing. Without a home folder there is none, and the error
// says so: each program checks this at start and refuses to run.
Result<std::filesystem::path> resolveDataDir();
// resolveDataDir()'s folder; empty when there is none (then every path below
// is empty too, and the file functions refuse an empty path, so nothing is
// written anywhere else).
std::filesystem::path dataDir();
// dataDir()/Images, created (with parents) on every resolution.
std::filesystem::path imagesDir();
std::filesystem::path stateFilePath();
std::filesystem::path imagesFilePath();
std::filesystem::path heartbeatFilePath();

// The copy inside Images named by a library entry, or none when the name
// could reach outside that folder (absolute, a separator, "." or "..", empty).
std::optional<std::filesystem::path> imageFilePath(std::string_view fileName);

// Largest files the readers accept; anything bigger is not one of ours.
inline constexpr size_t kMaxStateFileBytes = 64 * 1024;
inline constexpr size_t kMaxImagesFileBytes = 16 * 1024 * 1024;

// The data folder, Images and their files are the user's alone (0700 and
// 0600): folders are made so, files are written so. This narrows what an
// earlier version left wider (never through a link, only the user's own
// entries) and returns how many entries it narrowed. The app calls it once
// at start; the camera service only reads, as the same user.
int makeDataFolderPrivate();

// Creates the empty heartbeat file if missing and sets its modification date
// to now. Failures are ignored: the next tick tries again.
void touchHeartbeat();

// The app quits: the heartbeat is dated at the epoch, which any reader that
// judges it by age (older camera services too) takes as stopped at once.
// A missing heartbeat stays missing; failures are ignored (then its age tells).
void markHeartbeatStopped();

// Liveness as the extension judges it: the heartbeat's modification date is
// less than 3.0 s before `now` (a date in the future counts as running).
inline constexpr double kHeartbeatStaleSeconds = 3.0;
bool isHostRunning();
bool isHostRunningAt(const std::filesystem::path& heartbeat, std::chrono::system_clock::time_point now);

}  // namespace tovrelle
