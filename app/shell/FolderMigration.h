#pragma once
// Earlier versions kept their data in $XDG_DATA_HOME/Q7KX2RW9ZC.velkari.tovrelle
// and their settings in $XDG_CONFIG_HOME/velkari/tovrelle.ini. On the first
// start under the current names both are moved over whole, once, with a log
// line. A move that fails leaves the old one in place and in use.
#include <filesystem>
#include <optional>

namespace tovrelle {

struct FolderMigrationResult {
  bool dataMoved = false;
  bool settingsMoved = false;
  // The settings file to keep using when its move failed.
  std::optional<std::filesystem::path> keepSettingsAt;
};

// Run by the one running host, before anything reads the data folder or the
// settings. Folders come from the environment like everywhere else.
FolderMigrationResult migrateLegacyFolders();

// $XDG_CONFIG_HOME/tovrelle/tovrelle.ini (with the ~/.config default).
std::filesystem::path settingsFilePath();

}  // namespace tovrelle
