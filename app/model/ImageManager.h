#pragma once
// The user's image library: copies of picked files in "Images" and their list
// in "images.json", in the order the user sees everywhere.
//
// savedImages is published like the camera manager's values:
// savedImagesWillChange() before the list changes, savedImagesChanged() after,
// objectWillChange() before every change.
//
// Thread-bound (main thread): the list and its signals. addImage() may be
// called from another thread: the file is copied there and the change is
// applied on the main queue, which it waits for.
#include <QObject>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/model/StorageFault.h"
#include "platform/dispatch/Dispatch.h"
#include "shared/CameraState.h"
#include "shared/Result.h"
#include "shared/Uuid.h"

namespace tovrelle {

class CameraManager;

// A set of list positions, iterated in ascending order.
using IndexSet = std::set<size_t>;

class ImageManager : public QObject {
  Q_OBJECT

 public:
  struct Dependencies {
    // The main queue: additions from another thread are applied on it.
    std::shared_ptr<dispatch::Queue> mainQueue;
    // The camera manager to switch off when the shown image is deleted;
    // looked up at each use, so the two managers can be built in either order.
    std::function<CameraManager&()> cameraManager;
  };

  // Loads "images.json" (an unusable file leaves the library empty).
  explicit ImageManager(Dependencies dependencies, QObject* parent = nullptr);

  const std::vector<SavedImage>& savedImages() const { return savedImages_; }

  // Copies the file into "Images" and appends an entry named after it.
  void addImage(const std::filesystem::path& from);
  // Stores the name as given (even empty); an unknown id changes nothing.
  void renameImage(const Uuid& imageId, const std::string& name);
  // Positions outside the list are ignored.
  void deleteImages(const IndexSet& positions);
  // The entries at `fromOffsets` keep their order and land before the entry
  // that stood at `toOffset` before the move (at the end for the count).
  void moveImages(const IndexSet& fromOffsets, size_t toOffset);
  // False when the list could not be written (lastFailure says why).
  bool saveImages();

  // Removes what an interrupted change left: a copy cut short, a copy or a
  // deleted picture the list does not name (only while the list was read),
  // and temporary list files. Only the instance that writes the data
  // folder calls it, at start.
  void removeLeftovers();

  // The last add or save that failed, until one succeeds or the user
  // dismisses it: what the Images tab tells the user.
  struct Failure {
    enum class Operation { add, save };
    enum class Reason { tooLarge, unreadable, notAFile, nameTooLong, readOnly, full, notPermitted, other };
    Operation operation = Operation::add;
    Reason reason = Reason::other;
    // The picked file's name (adding only).
    std::string fileName;
    friend bool operator==(const Failure&, const Failure&) = default;
  };
  const std::optional<Failure>& lastFailure() const { return lastFailure_; }
  void dismissFailure() { setLastFailure(std::nullopt); }

  // Largest picture file the library copies; anything bigger is not an image
  // the camera can show.
  static constexpr size_t kMaxImageFileBytes = size_t{256} * 1024 * 1024;

 signals:
  void objectWillChange();
  void savedImagesWillChange();
  void savedImagesChanged();
  void lastFailureChanged();

 private:
  void loadImages();
  void setSavedImages(std::vector<SavedImage> images);
  void setLastFailure(std::optional<Failure> failure);
  // Moves a library file that could not be used at start out of the way of
  // the first save, so the user's list can still be recovered.
  Result<void> keepUnreadableLibrary(const std::filesystem::path& path);

  Dependencies dependencies_;
  std::vector<SavedImage> savedImages_;
  bool libraryFileUnreadable_ = false;
  // The list on disk was read or written: files it does not name are not the user's.
  bool libraryLoaded_ = false;
  std::optional<Failure> lastFailure_;
};

}  // namespace tovrelle
