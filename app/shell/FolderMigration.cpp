#include "app/shell/FolderMigration.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/log/Log.h"
#include "shared/BaseDirs.h"
#include "shared/DataFolder.h"

namespace tovrelle {
namespace fs = std::filesystem;
namespace {

// Stored spellings: users' disks hold these names; they are read and written here only.
// (The legacy data folder's name is kLegacyDataFolderName in shared/DataFolder.h.)
constexpr const char* kSettingsFolder = "tovrelle";
constexpr const char* kLegacySettingsFolder = "velkari";
constexpr const char* kSettingsFileName = "tovrelle.ini";

// Moves `from` to `to` whole. Where `to` exists already (the camera service's
// installed copies live there), moves the entries one by one, and only when
// none of them is there already; a failure puts back what moved.
bool moveFolder(const fs::path& from, const fs::path& to, std::string& problem) {
  std::error_code ec;
  if (!fs::exists(to, ec)) {
    fs::create_directories(to.parent_path(), ec);
    fs::rename(from, to, ec);
    if (ec) problem = ec.message();
    return !ec;
  }
  std::vector<fs::path> entries;
  for (auto it = fs::directory_iterator(from, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (fs::exists(to / it->path().filename())) {
      problem = (to / it->path().filename()).string() + " exists in both";
      return false;
    }
    entries.push_back(it->path().filename());
  }
  if (ec) {
    problem = ec.message();
    return false;
  }
  std::vector<fs::path> moved;
  for (const auto& name : entries) {
    fs::rename(from / name, to / name, ec);
    if (ec) {
      problem = "cannot move " + (from / name).string() + ": " + ec.message();
      std::error_code ignored;
      for (const auto& back : moved) fs::rename(to / back, from / back, ignored);
      return false;
    }
    moved.push_back(name);
  }
  fs::remove(from, ec);
  return true;
}

}  // namespace

fs::path settingsFilePath() {
  const fs::path config = basedirs::configHome().valueOr({});
  return config.empty() ? config : config / kSettingsFolder / kSettingsFileName;
}

FolderMigrationResult migrateLegacyFolders() {
  FolderMigrationResult result;
  std::error_code ec;
  std::string problem;

  // A data folder given explicitly is the caller's: nothing to move.
  // Without a home folder there is nothing of ours to move (and nowhere to move it).
  if (const char* dir = std::getenv(kDataDirEnv); (!dir || !*dir) && basedirs::dataHome()) {
    const fs::path base = basedirs::dataHome().valueOr({});
    const fs::path legacy = base / kLegacyDataFolderName;
    const fs::path current = base / kDataFolderName;
    if (fs::is_directory(legacy, ec) && !fs::is_symlink(legacy, ec)) {
      if (moveFolder(legacy, current, problem)) {
        result.dataMoved = true;
        log::processLog("FolderMigration: moved the data folder %s to %s", legacy.c_str(), current.c_str());
      } else {
        log::processLog("FolderMigration: cannot move the data folder %s to %s (%s); it stays in use", legacy.c_str(),
                        current.c_str(), problem.c_str());
      }
    }
  }

  if (const char* file = std::getenv("TOVRELLE_SETTINGS_FILE"); (!file || !*file) && basedirs::configHome()) {
    const fs::path legacy = *basedirs::configHome() / kLegacySettingsFolder / kSettingsFileName;
    const fs::path current = settingsFilePath();
    if (fs::is_regular_file(legacy, ec)) {
      if (fs::exists(current, ec)) {
        log::processLog("FolderMigration: both %s and %s exist; using %s", legacy.c_str(), current.c_str(),
                        current.c_str());
      } else {
        fs::create_directories(current.parent_path(), ec);
        fs::rename(legacy, current, ec);
        if (!ec) {
          result.settingsMoved = true;
          log::processLog("FolderMigration: moved the settings %s to %s", legacy.c_str(), current.c_str());
          std::error_code ignored;
          fs::remove(legacy.parent_path(), ignored);  // only when empty
        } else {
          result.keepSettingsAt = legacy;
          log::processLog("FolderMigration: cannot move the settings %s to %s (%s); they stay in use", legacy.c_str(),
                          current.c_str(), ec.message().c_str());
        }
      }
    }
  }
  return result;
}

}  // namespace tovrelle
