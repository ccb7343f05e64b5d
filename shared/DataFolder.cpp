#include "shared/DataFolder.h"

#include "shared/BaseDirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tovrelle {
namespace fs = std::filesystem;

namespace {

// The user's own folders (the data folder, Images): only the last one is made private, the
// parents are the user's ordinary folders. Failure surfaces at the next read or write.
void createDirectories(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return;
  fs::create_directories(path.parent_path(), ec);
  ::mkdir(path.c_str(), kPrivateFolderMode);
}

// Narrows one entry of `dir` (a folder or a regular file of this user, never
// a link) to the user alone. True when it was wider.
bool narrowToOwner(int dir, const char* name) {
  UniqueFd fd(::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) return false;
  if (!(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) || st.st_uid != ::geteuid() || (st.st_mode & 077) == 0)
    return false;
  return ::fchmod(fd.get(), st.st_mode & 07700) == 0;
}

// Narrows `folder` itself and its entries; descends into the one subfolder
// named `into` (if any).
int narrowFolder(const fs::path& folder, const char* into) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW));
  if (!dir) return 0;
  int narrowed = narrowToOwner(dir.get(), ".") ? 1 : 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (narrowToOwner(dir.get(), name.c_str())) ++narrowed;
    if (into && name == into) narrowed += narrowFolder(entry.path(), nullptr);
  }
  return narrowed;
}

// The app's folder in the user's data home.
Result<fs::path> appDataDir() {
  auto base = basedirs::dataHome();
  if (!base) return Unexpected{"no data folder: " + base.error()};
  std::error_code ec;
  if (fs::path legacy = *base / kLegacyDataFolderName; fs::is_directory(legacy, ec)) return legacy;
  fs::path folder = *base / kDataFolderName;
  createDirectories(folder);
  return folder;
}

// A file of the data folder; empty without one.
fs::path inDataDir(const char* name) {
  fs::path dir = dataDir();
  return dir.empty() ? dir : dir / name;
}

}  // namespace

Result<fs::path> resolveDataDir() {
  if (const char* dir = std::getenv(kDataDirEnv); dir && *dir) {
    fs::path p = dir;
    createDirectories(p);
    return p;
  }
  return appDataDir();
}

fs::path dataDir() { return resolveDataDir().valueOr({}); }

fs::path imagesDir() {
  fs::path folder = inDataDir(kImagesFolderName);
  if (!folder.empty()) createDirectories(folder);
  return folder;
}

fs::path stateFilePath() { return inDataDir(kStateFileName); }
fs::path imagesFilePath() { return inDataDir(kImagesFileName); }
fs::path heartbeatFilePath() { return inDataDir(kHeartbeatFileName); }

std::optional<fs::path> imageFilePath(std::string_view fileName) {
  if (fileName.empty() || fileName == "." || fileName == "..") return std::nullopt;
  if (fileName.find('/') != std::string_view::npos || fileName.find('\0') != std::string_view::npos)
    return std::nullopt;
  const fs::path folder = imagesDir();
  if (folder.empty()) return std::nullopt;
  return folder / fs::path(std::string(fileName));
}

int makeDataFolderPrivate() {
  const fs::path folder = dataDir();
  return folder.empty() ? 0 : narrowFolder(folder, kImagesFolderName);
}

void touchHeartbeat() {
  const fs::path path = heartbeatFilePath();
  if (path.empty()) return;
  // One syscall in the steady state: set the date, create only when missing.
  if (::utimensat(AT_FDCWD, path.c_str(), nullptr, 0) == 0) return;
  if (errno != ENOENT) return;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd >= 0) ::close(fd);
}

void markHeartbeatStopped() {
  const timespec epoch[2] = {{0, 0}, {0, 0}};
  if (const fs::path path = heartbeatFilePath(); !path.empty()) ::utimensat(AT_FDCWD, path.c_str(), epoch, 0);
}

bool isHostRunningAt(const fs::path& heartbeat, std::chrono::system_clock::time_point now) {
  struct stat st {};
  if (::stat(heartbeat.c_str(), &st) != 0) return false;
  auto modified = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  std::chrono::duration<double> age = now - modified;
  return age.count() < kHeartbeatStaleSeconds;
}

bool isHostRunning() { return isHostRunningAt(heartbeatFilePath(), std::chrono::system_clock::now()); }

}  // namespace tovrelle
