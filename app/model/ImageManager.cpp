#include "app/model/ImageManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "app/model/CameraManager.h"
#include "platform/log/Log.h"
#include "shared/DataFolder.h"
#include "shared/ListMove.h"

namespace tovrelle {
namespace fs = std::filesystem;

namespace {

// The last component of a picked path, as a file URL names it ("/a/b/" -> "b").
std::string lastPathComponent(const fs::path& path) {
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::string withoutExtension(const std::string& component) { return fs::path(component).stem().string(); }

std::string errnoText(const std::string& what, int code = errno) { return what + ": " + std::strerror(code); }

using Reason = ImageManager::Failure::Reason;

Reason reasonOf(StorageFault fault) {
  switch (fault) {
    case StorageFault::readOnly: return Reason::readOnly;
    case StorageFault::full: return Reason::full;
    case StorageFault::notPermitted: return Reason::notPermitted;
    case StorageFault::other: break;
  }
  return Reason::other;
}

struct CopyError {
  Reason reason;
  std::string text;
};

// Why creating or filling the copy in `folder` failed.
CopyError destinationError(const std::string& what, int code, const fs::path& folder) {
  if (code == ENAMETOOLONG) return {Reason::nameTooLong, errnoText(what, code)};
  return {reasonOf(classifyStorageFault(code, folder)), errnoText(what, code)};
}

// Opens the picked file for reading only if it is a regular file of at most
// `maxBytes`. A FIFO, socket or device is refused before it is opened, and the
// open itself never waits (a FIFO swapped in meanwhile has no writer).
std::optional<CopyError> openPicked(const fs::path& from, size_t maxBytes, UniqueFd* fd) {
  auto regular = [&] {
    struct stat st {};
    return ::stat(from.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  };
  struct stat st {};
  if (::stat(from.c_str(), &st) != 0) return CopyError{Reason::unreadable, errnoText("cannot open " + from.string())};
  const std::string notAFile = from.string() + " is not a regular file";
  if (!S_ISREG(st.st_mode)) return CopyError{Reason::notAFile, notAFile};
  auto file = openRegularFile(from, Links::follow);
  if (!file)
    return regular() ? CopyError{Reason::unreadable, "cannot open " + from.string() + ": " + file.error()}
                     : CopyError{Reason::notAFile, notAFile};
  if (file->size > maxBytes)
    return CopyError{Reason::tooLarge, from.string() + " is too large (" + std::to_string(file->size) + " bytes)"};
  *fd = std::move(file->fd);
  return std::nullopt;
}

// Copies a regular file of at most `maxBytes` to a new file at `to` (never
// over an existing one). On failure the partial copy is removed.
std::optional<CopyError> copyFileBounded(const fs::path& from, const fs::path& to, size_t maxBytes) {
  UniqueFd in;
  if (auto refused = openPicked(from, maxBytes, &in)) return refused;
  const fs::path folder = to.parent_path();
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
  if (out < 0) {
    return destinationError("cannot create " + to.string(), errno, folder);
  }
  auto fail = [&](CopyError error) {
    ::close(out);
    ::unlink(to.c_str());
    return error;
  };
  std::vector<char> buffer(256 * 1024);
  size_t total = 0;
  for (;;) {
    ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail({Reason::unreadable, errnoText("cannot read " + from.string())});
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
    // The file may grow while we copy; the bound holds regardless.
    if (total > maxBytes) return fail({Reason::tooLarge, from.string() + " is too large"});
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return fail(destinationError("cannot write " + to.string(), errno, folder));
      }
      done += w;
    }
  }
  // The entry is listed right after this; its bytes must be on disk first.
  if (::fsync(out) != 0) return fail(destinationError("cannot flush " + to.string(), errno, folder));
  if (::close(out) != 0) {
    CopyError error = destinationError("cannot close " + to.string(), errno, folder);
    ::unlink(to.c_str());
    return error;
  }
  return std::nullopt;
}

// An add copies to this name first, so a copy cut short is never mistaken for a picture.
constexpr std::string_view kAddingPrefix = ".adding-";

// What writeFileAtomically names its temporary file before the rename.
bool isInterruptedListWrite(std::string_view name) {
  const std::string prefix = std::string(".") + kImagesFileName + ".";
  return name.size() == prefix.size() + 6 && name.substr(0, prefix.size()) == prefix;
}

// The library names its copies "<UUID>_<picked name>"; only such files are ever its own.
bool isLibraryCopyName(std::string_view name) {
  return name.size() > 37 && name[36] == '_' && Uuid::parse(name.substr(0, 36)).has_value();
}

// A rename is durable once its folder is flushed.
void syncFolder(const fs::path& folder) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
  if (dir) ::fsync(dir.get());
}

std::string utcStamp() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace

ImageManager::ImageManager(Dependencies dependencies, QObject* parent)
    : QObject(parent), dependencies_(std::move(dependencies)) {
  loadImages();
}

void ImageManager::setSavedImages(std::vector<SavedImage> images) {
  emit objectWillChange();
  emit savedImagesWillChange();
  savedImages_ = std::move(images);
  emit savedImagesChanged();
}

void ImageManager::setLastFailure(std::optional<Failure> failure) {
  if (failure == lastFailure_) return;
  emit objectWillChange();
  lastFailure_ = std::move(failure);
  emit lastFailureChanged();
}

void ImageManager::loadImages() {
  const fs::path path = imagesFilePath();
  auto read = readFileBounded(path, kMaxImagesFileBytes);
  if (!read) {
    // A file that is there but cannot be read is still the user's library.
    std::error_code ec;
    libraryFileUnreadable_ = fs::exists(fs::symlink_status(path, ec));
    log::processLog("ImageManager: no images.json at %s (first run?)", path.c_str());
    return;
  }
  auto images = decodeSavedImages(*read);
  if (!images) {
    libraryFileUnreadable_ = true;
    log::processLog("ImageManager: failed to decode images.json: %s", images.error().c_str());
    return;
  }
  setSavedImages(std::move(*images));
  libraryLoaded_ = true;
  log::processLog("ImageManager: loaded %d images from %s", static_cast<int>(savedImages_.size()), path.c_str());
}

Result<void> ImageManager::keepUnreadableLibrary(const fs::path& path) {
  const std::string base = path.string() + ".unreadable-" + utcStamp();
  std::string kept = base;
  std::error_code ec;
  for (int n = 1; fs::exists(fs::symlink_status(kept, ec)); ++n) kept = base + "-" + std::to_string(n);
  if (::rename(path.c_str(), kept.c_str()) != 0) {
    if (errno == ENOENT) return {};  // gone meanwhile: nothing left to keep
    return Unexpected{errnoText("cannot keep the unreadable " + path.string() + " as " + kept)};
  }
  log::processLog("ImageManager: kept unreadable images.json as %s", kept.c_str());
  return {};
}

bool ImageManager::saveImages() {
  const fs::path path = imagesFilePath();
  const std::string bytes = encodeSavedImages(savedImages_);
  // errno is still the failed call's: it tells a full disk from a read-only folder.
  auto failed = [&](const Result<void>& step) {
    const int code = errno;
    log::processLog("ImageManager: failed to write images.json: %s", step.error().c_str());
    setLastFailure(Failure{Failure::Operation::save, reasonOf(classifyStorageFault(code, path.parent_path())), {}});
  };
  errno = 0;
  if (libraryFileUnreadable_) {
    if (auto kept = keepUnreadableLibrary(path); !kept) {
      // Writing now would destroy the only copy of the old list.
      failed(kept);
      return false;
    }
    libraryFileUnreadable_ = false;
  }
  if (auto written = writeFileAtomically(path, bytes, kPrivateFileMode); !written) {
    failed(written);
    return false;
  }
  libraryLoaded_ = true;
  if (lastFailure_ && lastFailure_->operation == Failure::Operation::save) setLastFailure(std::nullopt);
  log::processLog("ImageManager: wrote images.json (%d entries, %d bytes) to %s", static_cast<int>(savedImages_.size()),
                  static_cast<int>(bytes.size()), path.c_str());
  return true;
}

void ImageManager::addImage(const fs::path& from) {
  const std::string component = lastPathComponent(from);
  const std::string copyName = Uuid::random().toString() + "_" + component;
  // The published values belong to the main thread, whoever calls.
  auto onMain = [this](const std::function<void()>& work) {
    if (dependencies_.mainQueue->isCurrent()) {
      work();
    } else {
      dependencies_.mainQueue->sync(work);
    }
  };
  auto refuse = [&](const CopyError& error) {
    log::processLog("ImageManager: 画像のコピーに失敗: %s", error.text.c_str());
    onMain([&] { setLastFailure(Failure{Failure::Operation::add, error.reason, component}); });
  };
  // The copy's name is the picked name behind a UUID: it must still be a name
  // the file system takes.
  if (copyName.size() > NAME_MAX) {
    refuse({Reason::nameTooLong, "the name of " + from.string() + " is too long for the copy " + copyName});
    return;
  }
  auto destination = imageFilePath(copyName);
  if (!destination) {
    refuse({Reason::unreadable, "no usable file name in " + from.string()});
    return;
  }
  // Copied under a temporary name, flushed, then renamed: a copy is complete
  // or has a name the next start removes. The list names it only after that.
  const fs::path adding = destination->parent_path() / (std::string(kAddingPrefix) + Uuid::random().toString());
  if (auto error = copyFileBounded(from, adding, kMaxImageFileBytes)) {
    refuse(*error);
    return;
  }
  if (::rename(adding.c_str(), destination->c_str()) != 0) {
    const int code = errno;
    ::unlink(adding.c_str());
    refuse(destinationError("cannot name the copy " + destination->string(), code, destination->parent_path()));
    return;
  }
  syncFolder(destination->parent_path());
  SavedImage entry{Uuid::random(), withoutExtension(component), copyName};
  // The list, its log line and its save belong to the main thread.
  onMain([&, entry = std::move(entry)] {
    if (lastFailure_ && lastFailure_->operation == Failure::Operation::add) setLastFailure(std::nullopt);
    std::vector<SavedImage> images = savedImages_;
    images.push_back(entry);
    setSavedImages(std::move(images));
    log::processLog("ImageManager: copied %s -> %s, savedImages count=%d", from.c_str(), destination->c_str(),
                    static_cast<int>(savedImages_.size()));
    saveImages();
  });
}

void ImageManager::renameImage(const Uuid& imageId, const std::string& name) {
  auto found = std::find_if(savedImages_.begin(), savedImages_.end(),
                            [&](const SavedImage& image) { return image.id == imageId; });
  if (found == savedImages_.end()) return;
  std::vector<SavedImage> images = savedImages_;
  images[static_cast<size_t>(found - savedImages_.begin())].name = name;
  setSavedImages(std::move(images));
  saveImages();
}

void ImageManager::deleteImages(const IndexSet& positions) {
  std::vector<Uuid> deletedIds;
  std::vector<std::string> deletedFiles;
  std::vector<SavedImage> remaining;
  remaining.reserve(savedImages_.size());
  for (size_t i = 0; i < savedImages_.size(); ++i) {
    if (positions.contains(i)) {
      deletedIds.push_back(savedImages_[i].id);
      deletedFiles.push_back(savedImages_[i].fileName);
    } else {
      remaining.push_back(savedImages_[i]);
    }
  }
  setSavedImages(std::move(remaining));
  // The list goes first, so it never names a file that is gone; a file left
  // by a save that failed or an interruption goes at the next start.
  const bool saved = saveImages();

  CameraManager& camera = dependencies_.cameraManager();
  if (camera.currentMode() == CameraMode::image && camera.selectedImageId() &&
      std::find(deletedIds.begin(), deletedIds.end(), *camera.selectedImageId()) != deletedIds.end()) {
    camera.turnOff();
  }
  if (!saved) return;
  for (const std::string& fileName : deletedFiles) {
    // A name that would reach outside "Images" is never deleted; another entry may share the file.
    auto file = imageFilePath(fileName);
    const bool shared = std::any_of(savedImages_.begin(), savedImages_.end(),
                                    [&](const SavedImage& image) { return image.fileName == fileName; });
    if (!file || shared) continue;
    std::error_code ec;
    fs::remove(*file, ec);  // already gone or not removable: the entry is gone anyway
  }
}

void ImageManager::removeLeftovers() {
  std::error_code ec;
  int removed = 0;
  auto remove = [&](const fs::path& path) {
    std::error_code failed;
    if (fs::remove(path, failed)) ++removed;
  };
  for (const auto& entry : fs::directory_iterator(dataDir(), ec))
    if (isInterruptedListWrite(entry.path().filename().string()) && entry.is_regular_file(ec)) remove(entry.path());
  std::set<std::string> listed;
  for (const SavedImage& image : savedImages_) listed.insert(image.fileName);
  const fs::path images = imagesDir();
  for (const auto& entry : fs::directory_iterator(images, ec)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file(ec)) continue;
    if (name.rfind(kAddingPrefix, 0) == 0) {
      remove(entry.path());
    } else if (libraryLoaded_ && isLibraryCopyName(name) && !listed.contains(name)) {
      // Copied by an add or left by a delete that was cut short; with no
      // readable list nothing counts as unlisted.
      remove(entry.path());
    }
  }
  if (removed > 0)
    log::processLog("ImageManager: removed %d files an interrupted change left in %s", removed, dataDir().c_str());
}

void ImageManager::moveImages(const IndexSet& fromOffsets, size_t toOffset) {
  std::vector<SavedImage> moved;
  for (size_t i : orderAfterMove(savedImages_.size(), fromOffsets, toOffset)) moved.push_back(savedImages_[i]);
  setSavedImages(std::move(moved));
  saveImages();
}

}  // namespace tovrelle
