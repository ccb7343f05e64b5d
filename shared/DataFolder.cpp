#include "shared/DataFolder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovrelle {
namespace fs = std::filesystem;

namespace {

void createDirectories(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);  // failure surfaces at the next read or write
}

std::optional<fs::path> homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home);
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return fs::path(pw->pw_dir);
  return std::nullopt;
}

// The app's folder in the user's data home.
std::optional<fs::path> groupContainer() {
  fs::path base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg && xdg[0] == '/') {
    base = xdg;
  } else if (auto home = homeFolder()) {
    base = *home / ".local" / "share";
  } else {
    return std::nullopt;
  }
  std::error_code ec;
  if (fs::path legacy = base / kLegacyDataFolderName; fs::is_directory(legacy, ec)) return legacy;
  fs::path folder = base / kDataFolderName;
  createDirectories(folder);
  return folder;
}

const fs::path& sharedFolderURL() {
  static const fs::path folder = [] {
    fs::path p = kSharedFolderPath;
    createDirectories(p);
    return p;
  }();
  return folder;
}

}  // namespace

fs::path dataFolderURL() {
  if (const char* dir = std::getenv(kDataDirEnv); dir && *dir) {
    fs::path p = dir;
    createDirectories(p);
    return p;
  }
  if (auto container = groupContainer()) return *container;
  return sharedFolderURL();
}

fs::path imagesFolderURL() {
  fs::path folder = dataFolderURL() / kImagesFolderName;
  createDirectories(folder);
  return folder;
}

fs::path stateFileURL() { return dataFolderURL() / kStateFileName; }
fs::path imagesFileURL() { return dataFolderURL() / kImagesFileName; }
fs::path heartbeatFileURL() { return dataFolderURL() / kHeartbeatFileName; }

std::optional<fs::path> imageFileURL(std::string_view fileName) {
  if (fileName.empty() || fileName == "." || fileName == "..") return std::nullopt;
  if (fileName.find('/') != std::string_view::npos || fileName.find('\0') != std::string_view::npos)
    return std::nullopt;
  return imagesFolderURL() / fs::path(std::string(fileName));
}

ReadResult readFileBounded(const fs::path& path, size_t maxBytes) {
  ReadResult result;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    result.error = std::strerror(errno);
    return result;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    result.error = "not a regular file";
    ::close(fd);
    return result;
  }
  if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    result.error = "file too large (" + std::to_string(st.st_size) + " bytes)";
    ::close(fd);
    return result;
  }
  std::string bytes;
  bytes.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      // The file may have grown since fstat; read on up to the bound.
      if (bytes.size() >= maxBytes) break;
      bytes.resize(std::min(maxBytes, bytes.size() + 4096));
    }
    ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = std::strerror(errno);
      ::close(fd);
      return result;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  result.bytes = std::move(bytes);
  return result;
}

bool writeFileAtomically(const fs::path& path, std::string_view bytes, std::string* error) {
  auto setError = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
  };
  std::string tmpl = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return setError("cannot create temporary file in " + path.parent_path().string());
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      setError("cannot write " + tmpl);
      ::close(fd);
      ::unlink(tmpl.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  // Default file permissions, as a plain create would give.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    setError("cannot flush " + tmpl);
    ::unlink(tmpl.c_str());
    return false;
  }
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    setError("cannot replace " + path.string());
    ::unlink(tmpl.c_str());
    return false;
  }
  return true;
}

void touchHeartbeat() {
  const fs::path path = heartbeatFileURL();
  // One syscall in the steady state: set the date, create only when missing.
  if (::utimensat(AT_FDCWD, path.c_str(), nullptr, 0) == 0) return;
  if (errno != ENOENT) return;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) ::close(fd);
}

bool isHostRunningAt(const fs::path& heartbeat, std::chrono::system_clock::time_point now) {
  struct stat st {};
  if (::stat(heartbeat.c_str(), &st) != 0) return false;
  auto modified = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  std::chrono::duration<double> age = now - modified;
  return age.count() < kHeartbeatStaleSeconds;
}

bool isHostRunning() { return isHostRunningAt(heartbeatFileURL(), std::chrono::system_clock::now()); }

}  // namespace tovrelle
