#include "app/model/PreviewRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/model/ApplicationEvents.h"
#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "platform/capture/OpenCamera.h"
#include "platform/dispatch/QtMainQueue.h"
#include "platform/frames/AspectFit.h"
#include "platform/imaging/ByteSource.h"
#include "platform/imaging/Decoder.h"
#include "platform/imaging/Fit.h"
#include "platform/log/Log.h"
#include "shared/DataFolder.h"

namespace tovrelle {

namespace {

// Canvases kept for reuse; a frame still held by the interface (or waiting on
// the main queue) keeps its canvas busy, so a few are needed.
constexpr size_t kPooledCanvases = 4;

}  // namespace

QImage PreviewCanvas::blackCanvas() {
  QImage canvas(kWidth, kHeight, QImage::Format_RGB32);
  canvas.fill(0xff000000u);
  return canvas;
}

// ---- PreviewRenderer

namespace {

// A frame as the preview shows it: the whole picture fitted into the canvas
// (even sides, for the chroma planes), black where the aspects differ (a
// reused canvas is cleared, so no old bars linger), reduced in one pass.
bool drawFitted(frames::FrameWriter& writer, const frames::VideoFrame& frame, QImage& canvas) {
  const frames::PixelRect r =
      frames::aspectFitPixels(frame.width, frame.height, PreviewCanvas::kWidth, PreviewCanvas::kHeight, 2);
  if (r.isEmpty()) return false;
  if (r.width != canvas.width() || r.height != canvas.height()) canvas.fill(Qt::black);
  uint8_t* origin = canvas.bits() + size_t(r.y) * canvas.bytesPerLine() + size_t(r.x) * 4;
  return writer.write(frame, frames::PixelFormat::bgra, r.width, r.height, origin, int(canvas.bytesPerLine()));
}

}  // namespace

PreviewRenderer::PreviewRenderer(Dependencies dependencies, QObject* parent)
    : QObject(parent),
      dependencies_(std::move(dependencies)),
      cameraManager_(dependencies_.cameraManager()),
      captureQueue_(dependencies_.captureQueue ? dependencies_.captureQueue
                                               : dispatch::makeSerialQueue(kCaptureQueueLabel)),
      link_(std::make_shared<Link>()) {
  link_->owner = this;
  link_->mainQueue = dependencies_.mainQueue;
  link_->captureQueue = captureQueue_;
  link_->devices = dependencies_.devices;
  refreshSnapshot();

  // Any change of the mode or a selection reconfigures a running preview, one
  // main-queue turn later; the values are read again then.
  std::weak_ptr<Link> weak = link_;
  auto emission = [weak, main = dependencies_.mainQueue] {
    main->async([weak] {
      auto link = weak.lock();
      if (link && link->owner && link->owner->isActive_) link->owner->updatePreview();
    });
  };
  cancellables_.push_back(connect(&cameraManager_, &CameraManager::currentModeChanged, this, [this, emission] {
    refreshSnapshot();
    emission();
  }));
  cancellables_.push_back(connect(&cameraManager_, &CameraManager::selectedCameraIdChanged, this, emission));
  cancellables_.push_back(connect(&cameraManager_, &CameraManager::selectedImageIdChanged, this, emission));
  emission();
}

PreviewRenderer::~PreviewRenderer() {
  for (auto& c : cancellables_) disconnect(c);
  link_->owner = nullptr;
  link_->alive = false;
  link_->active = false;
  dropCaptureSession();
}

void PreviewRenderer::refreshSnapshot() {
  link_->active = isActive_;
  link_->cameraMode = cameraManager_.currentMode() == CameraMode::camera;
}

void PreviewRenderer::startPreview() {
  if (isActive_) return;
  isActive_ = true;
  refreshSnapshot();
  updatePreview();
}

void PreviewRenderer::stopPreview() {
  if (!isActive_) return;
  isActive_ = false;
  refreshSnapshot();
  dropCaptureSession();
  setCurrentFrame(QImage());
  lastConfiguredMode_ = CameraMode::off;
  lastConfiguredCameraId_.reset();
  lastConfiguredImageId_.reset();
}

void PreviewRenderer::updatePreview() {
  const CameraMode mode = cameraManager_.currentMode();
  const std::optional<std::string> cameraId = cameraManager_.selectedCameraId();
  const std::optional<Uuid> imageId = cameraManager_.selectedImageId();
  refreshSnapshot();

  switch (mode) {
    case CameraMode::off:
      dropCaptureSession();
      setCurrentFrame(PreviewCanvas::blackCanvas());
      break;
    case CameraMode::image: {
      dropCaptureSession();
      // Selecting an image publishes the mode and the id one after the
      // other; the picture already shown is not decoded a second time.
      if (shownImageId_ && shownImageId_ == imageId && !currentFrame_.isNull()) break;
      QImage picture = loadLibraryImage(imageId);
      const bool loaded = !picture.isNull();
      setCurrentFrame(loaded ? std::move(picture) : PreviewCanvas::blackCanvas());
      if (loaded) shownImageId_ = imageId;
      break;
    }
    case CameraMode::camera: {
      // The same camera keeps its session (no camera on both sides counts as
      // the same), and so does one still being set up: a change of mode and
      // image together arrives as two emissions, which must not open the camera twice.
      const bool sameCamera = cameraId == lastConfiguredCameraId_;
      if (!(sameCamera && (captureSession_ || pendingSerial_ != 0))) openCamera(cameraId);
      break;
    }
  }

  lastConfiguredMode_ = mode;
  lastConfiguredCameraId_ = cameraId;
  lastConfiguredImageId_ = imageId;
}

QImage PreviewRenderer::loadLibraryImage(const std::optional<Uuid>& imageId) {
  if (!imageId) return {};
  const auto& images = dependencies_.imageLibrary().savedImages();
  auto entry = std::find_if(images.begin(), images.end(), [&](const SavedImage& i) { return i.id == *imageId; });
  if (entry == images.end()) return {};
  auto path = imageFilePath(entry->fileName);
  if (!path) return {};
  // An animation shows its first picture: the camera frame the service makes
  // of it, reduced like the camera's frames, so the popover shows what the
  // camera sends.
  auto first = imaging::decodeFirstPicture(*path);
  if (!first) return {};
  frames::ConstFrameBufferRef frame = imaging::fitIntoFrame(*first);
  if (!frame) return {};
  QImage canvas = PreviewCanvas::blackCanvas();
  frames::FrameWriter writer;
  if (!drawFitted(writer, frames::VideoFrame(frame), canvas)) return {};
  return canvas;
}

void PreviewRenderer::dropCaptureSession() {
  if (captureSession_) captureSession_->stopRunning();
  captureSession_.reset();
  videoOutput_.reset();
  sessionSerial_ = 0;
  pendingSerial_ = 0;  // a set-up on its way is judged when it arrives
}

void PreviewRenderer::openCamera(const std::optional<std::string>& cameraId) {
  dropCaptureSession();
  std::optional<capture::DeviceInfo> device;
  if (cameraId && dependencies_.devices) device = dependencies_.devices->deviceWithUniqueId(*cameraId);
  // The default entry, a camera that is not there, and our own virtual camera show black.
  if (!device || device->localizedName == kVirtualCameraName) {
    setCurrentFrame(PreviewCanvas::blackCanvas());
    return;
  }
  // The current picture stays until the new camera's first frame.
  const uint64_t serial = ++nextSerial_;
  pendingSerial_ = serial;
  std::weak_ptr<Link> weak = link_;
  captureQueue_->async([weak, device = *device, id = *cameraId, serial] { setUpSession(weak, device, id, serial); });
}

void PreviewRenderer::setUpSession(const std::weak_ptr<Link>& weak, const capture::DeviceInfo& device,
                                   const std::string& cameraId, uint64_t serial) {
  auto link = weak.lock();
  if (!link || !link->alive) return;
  // Every ending is reported to the main thread, which keeps the session or lets it go.
  auto finish = [&](std::shared_ptr<capture::CaptureSession> session, std::shared_ptr<capture::VideoOutput> output) {
    link->mainQueue->async([weak, session, output, cameraId, serial] {
      auto strong = weak.lock();
      if (strong && strong->owner) {
        strong->owner->finishSetUp(session, output, cameraId, serial);
      } else if (session) {
        session->stopRunning();
      }
    });
  };

  capture::CameraRequest request;
  request.width = kPresetWidth;
  request.height = kPresetHeight;
  request.queue = link->captureQueue;
  request.onFrame = [weak, cameraId](const capture::CapturedFrame& frame) { handleFrame(weak, frame, cameraId); };
  request.onInterrupted = [weak, cameraId, serial](const std::string& reason) {
    auto l = weak.lock();
    if (!l) return;
    l->mainQueue->async([weak, cameraId, serial, reason] {
      auto strong = weak.lock();
      if (strong && strong->owner) strong->owner->sessionInterrupted(serial, cameraId, reason);
    });
  };
  capture::OpenedCamera opened = capture::openCamera(*link->devices, device, std::move(request));
  // Only a camera that cannot be opened is worth a line.
  if (opened.failure == capture::OpenedCamera::Failure::input)
    log::processLog("PreviewRenderer: failed to setup camera: %s", opened.error.c_str());
  finish(std::move(opened.session), std::move(opened.output));
}

void PreviewRenderer::finishSetUp(std::shared_ptr<capture::CaptureSession> session,
                                  std::shared_ptr<capture::VideoOutput> output, const std::string& cameraId,
                                  uint64_t serial) {
  if (serial == pendingSerial_) pendingSerial_ = 0;
  if (!session) return;
  const auto& selected = cameraManager_.selectedCameraId();
  const bool stillWanted =
      isActive_ && cameraManager_.currentMode() == CameraMode::camera && selected && *selected == cameraId;
  // A second set-up for the same camera finds the first one adopted: one session is enough.
  if (!stillWanted || captureSession_) {
    session->stopRunning();
    return;
  }
  captureSession_ = std::move(session);
  videoOutput_ = std::move(output);
  sessionSerial_ = serial;
}

void PreviewRenderer::handleFrame(const std::weak_ptr<Link>& weak, const capture::CapturedFrame& sample,
                                  const std::string& cameraId) {
  auto link = weak.lock();
  if (!link || !link->alive) return;
  // Saves the work only; the main thread decides.
  if (!link->active || !link->cameraMode) return;
  if (!sample.image) return;
  QImage& free = link->freeCanvas();
  if (free.isNull()) return;
  if (!drawFitted(link->frameWriter, sample.image, free)) return;
  QImage canvas = free;
  link->mainQueue->async([weak, canvas = std::move(canvas), cameraId]() mutable {
    auto strong = weak.lock();
    if (strong && strong->owner) strong->owner->publishFrame(std::move(canvas), cameraId);
  });
}

QImage& PreviewRenderer::Link::freeCanvas() {
  // A canvas still shown or queued for the main thread is busy; a few are kept.
  for (auto& canvas : canvases)
    if (canvas.isDetached()) {
      // The last holder let go on another thread; see its reads before our writes.
      std::atomic_thread_fence(std::memory_order_acquire);
      return canvas;
    }
  if (canvases.size() < kPooledCanvases) {
    canvases.emplace_back(PreviewCanvas::kWidth, PreviewCanvas::kHeight, QImage::Format_RGB32);
    return canvases.back();
  }
  spare = QImage(PreviewCanvas::kWidth, PreviewCanvas::kHeight, QImage::Format_RGB32);
  return spare;
}

void PreviewRenderer::publishFrame(QImage frame, const std::string& cameraId) {
  if (!isActive_ || cameraManager_.currentMode() != CameraMode::camera) return;
  // A session still running for a camera the user has left shows nothing.
  const auto& selected = cameraManager_.selectedCameraId();
  if (!selected || *selected != cameraId) return;
  setCurrentFrame(std::move(frame));
}

void PreviewRenderer::sessionInterrupted(uint64_t serial, const std::string& cameraId, const std::string& reason) {
  if (serial == 0 || serial != sessionSerial_) return;
  log::processLog("PreviewRenderer: camera %s stopped: %s", cameraId.c_str(), reason.c_str());
  dropCaptureSession();
  if (isActive_) setCurrentFrame(PreviewCanvas::blackCanvas());
}

void PreviewRenderer::setCurrentFrame(QImage frame) {
  shownImageId_.reset();
  emit objectWillChange();
  emit currentFrameWillChange();
  currentFrame_ = std::move(frame);
  emit currentFrameChanged();
}

}  // namespace tovrelle
