#pragma once
// What the virtual camera shows: the mode, the selected library image and the
// selected physical camera. Every change is written to "state.json" at once;
// a 1 s heartbeat tells the extension that the host is alive.
//
// Published values notify twice: fooWillChange() before the value changes
// (observers that read it then still see the old value) and fooChanged()
// after. objectWillChange() precedes every published change, for views that
// simply redraw.
//
// Thread-bound (main thread): the values, the state file writes and the
// heartbeat timer, which runs on the main queue.
#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/model/Settings.h"
#include "app/model/StorageFault.h"
#include "platform/dispatch/Dispatch.h"
#include "shared/CameraState.h"
#include "shared/Uuid.h"

namespace tovrelle {

class ImageManager;
class Settings;

class CameraManager : public QObject {
  Q_OBJECT

 public:
  struct Dependencies {
    // The main queue: the heartbeat timer runs on it.
    std::shared_ptr<dispatch::Queue> mainQueue;
    // The image library whose list showLastImage() chooses from; looked up at
    // each use, so the two managers can be built in either order.
    std::function<ImageManager&()> imageLibrary;
    // Where the last selected image is remembered.
    Settings* settings = nullptr;
  };

  // Reads the settings and "state.json", writes the state back, touches
  // the heartbeat and starts the heartbeat timer.
  explicit CameraManager(Dependencies dependencies, QObject* parent = nullptr);
  ~CameraManager() override;

  CameraMode currentMode() const { return currentMode_; }
  const std::optional<Uuid>& selectedImageId() const { return selectedImageId_; }
  const std::optional<std::string>& selectedCameraId() const { return selectedCameraId_; }
  // Assigning does not write: callers follow with writeState().
  void setSelectedCameraId(std::optional<std::string> cameraId);
  const std::optional<Uuid>& lastSelectedImageId() const { return lastSelectedImageId_; }

  void turnOn();
  void turnOff();
  // The id is taken as given, even when the library no longer has it.
  void selectImage(const Uuid& imageId);
  void showLastImage();
  void writeState();
  // The app quits: the heartbeat stops and is marked stopped, so the camera
  // shows "launch the app" at once instead of when the heartbeat has aged.
  void stopHeartbeat();

  // The data folder refuses our writes. Without the heartbeat the camera
  // shows "launch the app"; without the state it keeps an older choice until
  // a heartbeat's retry gets the state written.
  struct DataFolderProblem {
    StorageFault fault;
    std::filesystem::path folder;
    bool heartbeatStopped = false;
    bool stateBehind = false;
    friend bool operator==(const DataFolderProblem&, const DataFolderProblem&) = default;
  };
  const std::optional<DataFolderProblem>& dataFolderProblem() const { return dataFolderProblem_; }

  // User-defaults key of the most recently selected image.
  static constexpr const char* kLastSelectedImageIdKey = settings_keys::kLastSelectedImageId;
  static constexpr dispatch::Duration kHeartbeatInterval = dispatch::seconds(1.0);

 signals:
  void objectWillChange();
  void currentModeWillChange();
  void currentModeChanged();
  void selectedImageIdWillChange();
  void selectedImageIdChanged();
  void selectedCameraIdWillChange();
  void selectedCameraIdChanged();
  void dataFolderProblemChanged();

 private:
  void loadState();
  void touchHeartbeat();
  void persistLastSelectedImageId();
  void setCurrentMode(CameraMode mode);
  void setSelectedImageId(std::optional<Uuid> imageId);
  void updateDataFolderProblem();

  Dependencies dependencies_;
  CameraMode currentMode_ = CameraMode::off;
  std::optional<Uuid> selectedImageId_;
  std::optional<std::string> selectedCameraId_;
  std::optional<Uuid> lastSelectedImageId_;
  std::shared_ptr<dispatch::Timer> heartbeatTimer_;
  // Where the last touch found the heartbeat; resolved anew when a touch fails.
  std::filesystem::path heartbeatPath_;
  // errno of the failing heartbeat touch or state write; a failure is logged
  // when it starts or its reason changes, not at every retry.
  int heartbeatErrno_ = 0;
  int stateErrno_ = 0;
  std::optional<StorageFault> heartbeatFault_;
  std::optional<StorageFault> stateFault_;
  std::optional<DataFolderProblem> dataFolderProblem_;
};

}  // namespace tovrelle
