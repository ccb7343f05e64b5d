#pragma once
// The popover's live preview, made inside the host independently of the
// extension: in camera mode a capture session of its own on the selected
// camera, each frame reduced to a 320x180 picture; in image mode the selected
// library image; otherwise black. Running only between startPreview() (the
// popover opens) and stopPreview() (it closes).
//
// currentFrame is published like the other model values:
// currentFrameWillChange() before, currentFrameChanged() after, and
// objectWillChange() before every change.
//
// Thread-bound (main thread): the published frame and the session. The
// camera is set up and its frames are reduced on the capture queue, which
// sees only the Link below and hands each result to the main queue.
#include <QImage>
#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture/CaptureDevices.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/frames/VideoFrame.h"
#include "shared/CameraState.h"
#include "shared/Uuid.h"

namespace tovrelle {

class CameraManager;
class ImageManager;

// The 320x180 picture the popover shows.
struct PreviewCanvas {
  static constexpr int kWidth = 320;
  static constexpr int kHeight = 180;
  // A new black canvas (Format_RGB32).
  static QImage blackCanvas();
};

class PreviewRenderer : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kCaptureQueueLabel = "ossel.tovrelle.previewcapture";
  static constexpr int kPresetWidth = 1280;
  static constexpr int kPresetHeight = 720;

  struct Dependencies {
    // Read at creation (the subscription) and at every configuration.
    std::function<CameraManager&()> cameraManager;
    // Looked up at each use.
    std::function<ImageManager&()> imageLibrary;
    std::shared_ptr<capture::CaptureDevices> devices;
    std::shared_ptr<dispatch::Queue> mainQueue;
    // Where sessions are set up and frames converted; none: a new serial
    // queue labelled kCaptureQueueLabel.
    std::shared_ptr<dispatch::Queue> captureQueue;
  };

  // Subscribes to the camera manager's mode and selections.
  explicit PreviewRenderer(Dependencies dependencies, QObject* parent = nullptr);
  ~PreviewRenderer() override;

  // The preview picture; null while there is none.
  const QImage& currentFrame() const { return currentFrame_; }

  void startPreview();
  void stopPreview();
  // Configures for the camera manager's current state. Called by
  // startPreview() and after every change of the camera manager while active.
  void updatePreview();

  bool isActive() const { return isActive_; }
  CameraMode lastConfiguredMode() const { return lastConfiguredMode_; }
  const std::optional<std::string>& lastConfiguredCameraId() const { return lastConfiguredCameraId_; }
  const std::optional<Uuid>& lastConfiguredImageId() const { return lastConfiguredImageId_; }
  // The adopted session of camera mode, if any.
  bool hasCaptureSession() const { return captureSession_ != nullptr; }
  const std::shared_ptr<dispatch::Queue>& captureQueue() const { return captureQueue_; }

 signals:
  void objectWillChange();
  void currentFrameWillChange();
  void currentFrameChanged();

 private:
  // What work on the capture queue holds instead of the renderer. `owner` is
  // touched on the main thread only and cleared when the renderer goes; the
  // flags are the snapshot the frame handler's early check reads.
  struct Link {
    PreviewRenderer* owner = nullptr;
    std::atomic<bool> alive{true};
    std::atomic<bool> active{false};
    std::atomic<bool> cameraMode{false};
    std::shared_ptr<dispatch::Queue> mainQueue;
    std::shared_ptr<dispatch::Queue> captureQueue;
    std::shared_ptr<capture::CaptureDevices> devices;
    // Capture queue only: camera frames go straight from the camera's planes
    // to the canvas, cropped to 16:9 and reduced in one pass.
    frames::FrameWriter frameWriter;
    std::vector<QImage> canvases;
    QImage spare;
    QImage& freeCanvas();
  };

  void openCamera(const std::optional<std::string>& cameraId);
  void dropCaptureSession();
  void setCurrentFrame(QImage frame);
  QImage loadLibraryImage(const std::optional<Uuid>& imageId);
  void refreshSnapshot();

  static void setUpSession(const std::weak_ptr<Link>& weak, const capture::DeviceInfo& device,
                           const std::string& cameraId, uint64_t serial);
  static void handleFrame(const std::weak_ptr<Link>& weak, const capture::CapturedFrame& sample,
                          const std::string& cameraId);
  // Main thread: the set-up's result (none when it failed), kept only if it still fits.
  void finishSetUp(std::shared_ptr<capture::CaptureSession> session, std::shared_ptr<capture::VideoOutput> output,
                   const std::string& cameraId, uint64_t serial);
  void publishFrame(QImage frame, const std::string& cameraId);
  void sessionInterrupted(uint64_t serial, const std::string& cameraId, const std::string& reason);

  Dependencies dependencies_;
  CameraManager& cameraManager_;
  QImage currentFrame_;
  std::shared_ptr<capture::CaptureSession> captureSession_;
  std::shared_ptr<capture::VideoOutput> videoOutput_;
  uint64_t sessionSerial_ = 0;  // of the adopted session
  uint64_t nextSerial_ = 0;     // one per set-up
  uint64_t pendingSerial_ = 0;  // the set-up on its way for lastConfiguredCameraId_, if any
  std::shared_ptr<dispatch::Queue> captureQueue_;
  std::shared_ptr<Link> link_;
  std::vector<QMetaObject::Connection> cancellables_;
  bool isActive_ = false;
  CameraMode lastConfiguredMode_ = CameraMode::off;
  std::optional<std::string> lastConfiguredCameraId_;
  std::optional<Uuid> lastConfiguredImageId_;
  std::optional<Uuid> shownImageId_;  // the library image currentFrame shows, if it shows one
};

}  // namespace tovrelle
