#pragma once
// Reading and writing the files of the data folder, and files the user picks.
// Everything read here is untrusted: opening never blocks (a FIFO or a device
// is refused, not waited on), a link is followed only where the caller expects
// one, only a regular file is read, and a read never takes more than a bound.
#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "shared/Result.h"

namespace tovrelle {

// An open file descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

enum class Links { refuse, follow };

struct OpenedFile {
  UniqueFd fd;        // open for reading, in blocking mode again
  uint64_t size = 0;  // at the time of opening
};

// Opens `path` for reading. With Links::refuse a link as the last name is an
// error; with Links::follow (a file the user picked) it is followed. Anything
// but a regular file is an error ("is a FIFO", "is a symbolic link", ...).
Result<OpenedFile> openRegularFile(const std::filesystem::path& path, Links links = Links::refuse);

// Opens the regular file `name` directly inside `folder`, refusing a link as
// the folder's own last name as well as the file's, so neither can lead out.
Result<OpenedFile> openRegularFileIn(const std::filesystem::path& folder, std::string_view name);

// The whole file, when it is a regular file of at most `maxBytes`.
Result<std::string> readFileBounded(const std::filesystem::path& path, size_t maxBytes, Links links = Links::refuse);

// Writes to a temporary file in the same folder, flushes it and renames it
// over `path`, so readers see the old or the new file, never a mixture. The
// file gets `mode` less the umask. On failure the old file stays, the error
// says why, and errno is still the failed call's.
Result<void> writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode = 0666);

// Files and folders that hold the user's choices and pictures are theirs alone.
inline constexpr mode_t kPrivateFileMode = 0600;
inline constexpr mode_t kPrivateFolderMode = 0700;

// Makes `path` a folder only this user can enter: creates it (mode 0700) when
// missing, and accepts an existing one only when it is a real folder (not a
// link), owned by this user, that no one else can enter or write. Its
// parent must exist. An error says why the folder is not fine.
Result<void> ensurePrivateFolder(const std::filesystem::path& path);

// A bounded, printable account of bytes that did not decode, for a log line:
// at most `maxShown` bytes, control characters, quotes, backslashes and
// non-ASCII bytes escaped, "..." when cut.
std::string escapedExcerpt(std::string_view bytes, size_t maxShown = 48);

}  // namespace tovrelle
