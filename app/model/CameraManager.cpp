#include "app/model/CameraManager.h"

#include <QPointer>

#include <fcntl.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/model/ImageManager.h"
#include "app/model/Settings.h"
#include "platform/log/Log.h"
#include "shared/DataFolder.h"

namespace tovrelle {

CameraManager::CameraManager(Dependencies dependencies, QObject* parent)
    : QObject(parent), dependencies_(std::move(dependencies)) {
  if (auto stored = dependencies_.settings->string(kLastSelectedImageIdKey))
    lastSelectedImageId_ = Uuid::parse(stored->toStdString());

  loadState();
  if (currentMode_ == CameraMode::image && selectedImageId_) lastSelectedImageId_ = selectedImageId_;

  writeState();
  touchHeartbeat();

  QPointer<CameraManager> self(this);
  heartbeatTimer_ = dependencies_.mainQueue->schedule(kHeartbeatInterval, kHeartbeatInterval, [self] {
    if (self) self->touchHeartbeat();
  });
}

CameraManager::~CameraManager() {
  if (heartbeatTimer_) heartbeatTimer_->cancel();
}

void CameraManager::setCurrentMode(CameraMode mode) {
  emit objectWillChange();
  emit currentModeWillChange();
  currentMode_ = mode;
  emit currentModeChanged();
}

void CameraManager::setSelectedImageId(std::optional<Uuid> imageId) {
  emit objectWillChange();
  emit selectedImageIdWillChange();
  selectedImageId_ = imageId;
  emit selectedImageIdChanged();
}

void CameraManager::setSelectedCameraId(std::optional<std::string> cameraId) {
  emit objectWillChange();
  emit selectedCameraIdWillChange();
  selectedCameraId_ = std::move(cameraId);
  emit selectedCameraIdChanged();
}

void CameraManager::turnOn() {
  setCurrentMode(CameraMode::camera);
  setSelectedImageId(std::nullopt);
  writeState();
}

void CameraManager::turnOff() {
  setCurrentMode(CameraMode::off);
  setSelectedImageId(std::nullopt);
  writeState();
}

void CameraManager::selectImage(const Uuid& imageId) {
  lastSelectedImageId_ = imageId;
  persistLastSelectedImageId();
  setCurrentMode(CameraMode::image);
  setSelectedImageId(imageId);
  writeState();
}

void CameraManager::showLastImage() {
  // Copy: selectImage() notifies observers, which may change the library.
  const std::vector<SavedImage> images = dependencies_.imageLibrary().savedImages();
  if (images.empty()) return;
  if (lastSelectedImageId_) {
    auto found = std::find_if(images.begin(), images.end(),
                              [&](const SavedImage& image) { return image.id == *lastSelectedImageId_; });
    if (found != images.end()) {
      selectImage(found->id);
      return;
    }
  }
  selectImage(images.front().id);
}

void CameraManager::writeState() {
  const std::filesystem::path path = stateFilePath();
  const CameraState state{currentMode_, selectedImageId_, selectedCameraId_};
  errno = 0;
  if (auto written = writeFileAtomically(path, encodeCameraState(state), kPrivateFileMode); !written) {
    const int code = errno;
    // The heartbeat retries every second: say it once per reason.
    if (!stateFault_ || code != stateErrno_)
      log::processLog("CameraManager: failed to write state.json: %s", written.error().c_str());
    stateErrno_ = code;
    stateFault_ = classifyStorageFault(code, path.parent_path());
    updateDataFolderProblem();
    return;
  }
  stateFault_.reset();
  log::processLog("CameraManager: wrote state mode=%s image=%s camera=%s", rawValue(state.mode),
                  describe(state.selectedImageId).c_str(), describe(state.selectedCameraId).c_str());
  updateDataFolderProblem();
}

void CameraManager::stopHeartbeat() {
  if (!heartbeatTimer_) return;
  heartbeatTimer_->cancel();
  heartbeatTimer_.reset();
  tovrelle::markHeartbeatStopped();
  log::processLog("CameraManager: heartbeat marked stopped");
}

void CameraManager::loadState() {
  auto read = readFileBounded(stateFilePath(), kMaxStateFileBytes);
  if (!read) return;
  auto state = decodeCameraState(*read);
  if (!state) return;
  setCurrentMode(state->mode);
  setSelectedImageId(state->selectedImageId);
  setSelectedCameraId(state->selectedCameraId);
}

void CameraManager::touchHeartbeat() {
  // Once a second for the life of the app, so the steady state is a single
  // utimensat on the path found last time. When that fails (file or folder
  // removed), resolve the folder anew and let the shared touch re-create it.
  bool touched = !heartbeatPath_.empty() && ::utimensat(AT_FDCWD, heartbeatPath_.c_str(), nullptr, 0) == 0;
  if (!touched) {
    tovrelle::touchHeartbeat();
    heartbeatPath_ = heartbeatFilePath();
    touched = ::utimensat(AT_FDCWD, heartbeatPath_.c_str(), nullptr, 0) == 0;
  }
  if (touched) {
    heartbeatFault_.reset();
  } else {
    const int code = errno;
    if (!heartbeatFault_ || code != heartbeatErrno_)
      log::processLog("CameraManager: cannot renew the heartbeat %s: %s", heartbeatPath_.c_str(), std::strerror(code));
    heartbeatErrno_ = code;
    heartbeatFault_ = classifyStorageFault(code, heartbeatPath_.parent_path());
  }
  // A state that could not be written is written as soon as the disk allows,
  // so the camera follows the choice the app already shows.
  if (stateFault_) writeState();
  updateDataFolderProblem();
}

void CameraManager::updateDataFolderProblem() {
  std::optional<DataFolderProblem> problem;
  if (heartbeatFault_ || stateFault_) {
    problem = DataFolderProblem{heartbeatFault_ ? *heartbeatFault_ : *stateFault_, stateFilePath().parent_path(),
                                heartbeatFault_.has_value(), stateFault_.has_value()};
  }
  if (problem == dataFolderProblem_) return;
  emit objectWillChange();
  dataFolderProblem_ = std::move(problem);
  emit dataFolderProblemChanged();
}

void CameraManager::persistLastSelectedImageId() {
  Settings& defaults = *dependencies_.settings;
  if (lastSelectedImageId_) {
    defaults.setValue(kLastSelectedImageIdKey, QString::fromStdString(lastSelectedImageId_->toString()));
  } else {
    defaults.remove(kLastSelectedImageIdKey);
  }
}

}  // namespace tovrelle
