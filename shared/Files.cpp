#include "shared/Files.h"

#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tovrelle {
namespace fs = std::filesystem;

namespace {

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

const char* typeName(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

std::string openError(int err) {
  // O_NOFOLLOW reports a link as ELOOP.
  return err == ELOOP ? "is a symbolic link" : std::strerror(err);
}

Result<OpenedFile> checked(int fd) {
  if (fd < 0) return Unexpected{openError(errno)};
  OpenedFile file;
  file.fd = UniqueFd(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Unexpected{std::strerror(errno)};
  if (!S_ISREG(st.st_mode)) return Unexpected{std::string("is ") + typeName(st.st_mode)};
  // Reads of a regular file never wait; back to blocking mode for callers
  // that hand the descriptor on.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  file.size = static_cast<uint64_t>(st.st_size);
  return file;
}

}  // namespace

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<OpenedFile> openRegularFile(const fs::path& path, Links links) {
  return checked(::open(path.c_str(), kReadFlags | (links == Links::refuse ? O_NOFOLLOW : 0)));
}

Result<OpenedFile> openRegularFileIn(const fs::path& folder, std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos)
    return Unexpected{"not a plain file name"};
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW));
  if (!dir) {
    const int err = errno;
    // A link to a folder fails as "not a folder" under O_DIRECTORY: say what it is.
    struct stat st {};
    if ((err == ENOTDIR || err == ELOOP) && ::lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      return Unexpected{folder.filename().string() + " is a symbolic link"};
    return Unexpected{folder.filename().string() + " " + openError(err)};
  }
  return checked(::openat(dir.get(), std::string(name).c_str(), kReadFlags | O_NOFOLLOW));
}

Result<std::string> readFileBounded(const fs::path& path, size_t maxBytes, Links links) {
  auto opened = openRegularFile(path, links);
  if (!opened) return Unexpected{opened.error()};
  const OpenedFile& file = *opened;
  if (file.size > maxBytes) return Unexpected{"file too large (" + std::to_string(file.size) + " bytes)"};
  // The file may grow while it is read; one byte past the bound tells.
  std::string bytes(std::min<size_t>(maxBytes + 1, static_cast<size_t>(file.size) + 4096), '\0');
  size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (got > maxBytes) break;
      bytes.resize(std::min(maxBytes + 1, bytes.size() * 2));
    }
    const ssize_t n = ::read(file.fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Unexpected{std::strerror(errno)};
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > maxBytes) return Unexpected{"file too large (more than " + std::to_string(maxBytes) + " bytes)"};
  bytes.resize(got);
  return bytes;
}

namespace {

// Read, never set: umask(2) is the only way to set it and would change it for
// every thread for a moment.
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  return 022;
}

}  // namespace

Result<void> writeFileAtomically(const fs::path& path, std::string_view bytes, mode_t mode) {
  // No data folder resolves to an empty path: nothing is written elsewhere instead.
  if (path.empty() || path.filename().empty()) return Unexpected{"no file to write (no data folder)"};
  std::string tmpl = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  // Callers tell a full disk from a read-only folder by errno: it stays the failed call's.
  auto fail = [&](const std::string& what, int err, bool created) -> Result<void> {
    if (created) ::unlink(tmpl.c_str());
    errno = err;
    return Unexpected{what + ": " + std::strerror(err)};
  };
  UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
  if (!fd) return fail("cannot write " + path.string() + " (no temporary file in its folder)", errno, false);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot write " + path.string(), errno, true);
    }
    done += static_cast<size_t>(n);
  }
  ::fchmod(fd.get(), mode & ~currentUmask());
  if (::fsync(fd.get()) != 0) return fail("cannot write " + path.string(), errno, true);
  if (::close(fd.release()) != 0) return fail("cannot write " + path.string(), errno, true);
  if (::rename(tmpl.c_str(), path.c_str()) != 0) return fail("cannot replace " + path.string(), errno, true);
  return {};
}

Result<void> ensurePrivateFolder(const fs::path& path) {
  const bool created = ::mkdir(path.c_str(), kPrivateFolderMode) == 0;
  if (!created && errno != EEXIST) return Unexpected{"cannot create " + path.string() + ": " + std::strerror(errno)};
  // The checks run on the folder that was opened, so a swap after them changes nothing.
  UniqueFd dir(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW));
  if (!dir) {
    const int err = errno;
    if (err == ELOOP || err == ENOTDIR) {
      struct stat st {};
      const bool link = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
      return Unexpected{path.string() + (link ? " is a symbolic link" : " is not a folder")};
    }
    return Unexpected{"cannot open " + path.string() + ": " + std::strerror(err)};
  }
  struct stat st {};
  if (::fstat(dir.get(), &st) != 0) return Unexpected{"cannot examine " + path.string() + ": " + std::strerror(errno)};
  if (st.st_uid != ::geteuid())
    return Unexpected{path.string() + " belongs to another user (uid " + std::to_string(st.st_uid) + ")"};
  // Made just now: the umask may have left it narrower than 0700, never wider.
  if (created) ::fchmod(dir.get(), kPrivateFolderMode);
  if (!created && (st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return Unexpected{path.string() + " can be entered by other users (mode " + mode + ")"};
  }
  return {};
}

std::string escapedExcerpt(std::string_view bytes, size_t maxShown) {
  static const char* hex = "0123456789abcdef";
  std::string out = "\"";
  for (size_t i = 0; i < std::min(bytes.size(), maxShown); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += bytes.size() > maxShown ? "\"..." : "\"";
  return out;
}

}  // namespace tovrelle
