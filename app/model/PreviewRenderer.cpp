#include "app/model/PreviewRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

#include "app/model/CameraManager.h"
#include "app/model/ApplicationEvents.h"
#include "app/model/ImageManager.h"
#include "platform/dispatch/QtMainQueue.h"
#include "platform/imaging/ByteSource.h"
#include "platform/imaging/Decoder.h"
#include "platform/log/Log.h"
#include "shared/DataFolder.h"

namespace tovrelle {

// ---- PreviewScaler

namespace {

// Canvases kept for reuse; a frame still held by the interface (or waiting on
// the main queue) keeps its canvas busy, so a few are needed.
constexpr size_t kPooledCanvases = 4;
constexpr QRgb kBlack = 0xff000000u;
constexpr int kScaleFlags = SWS_AREA | SWS_FULL_CHR_H_INP;

bool isAligned(const void* p, size_t stride) {
  return (reinterpret_cast<uintptr_t>(p) % 16) == 0 && stride % 16 == 0;
}

}  // namespace

PreviewScaler::Placement PreviewScaler::placement(int width, int height) {
  if (width <= 0 || height <= 0) return {};
  const double s = std::min(double(kWidth) / width, double(kHeight) / height);
  Placement p;
  p.width = std::clamp(int(std::lround(width * s)), 1, kWidth);
  p.height = std::clamp(int(std::lround(height * s)), 1, kHeight);
  p.x = (kWidth - p.width) / 2;
  p.y = (kHeight - p.height) / 2;
  return p;
}

PreviewScaler::~PreviewScaler() { sws_freeContext(sws_); }

QImage PreviewScaler::blackCanvas() {
  QImage canvas(kWidth, kHeight, QImage::Format_RGB32);
  canvas.fill(kBlack);
  return canvas;
}

QImage& PreviewScaler::freeCanvas(const Placement& placement) {
  Canvas* free = nullptr;
  for (auto& canvas : canvases_) {
    if (canvas.image.isDetached()) {
      free = &canvas;
      break;
    }
  }
  if (!free) {
    if (canvases_.size() < kPooledCanvases) {
      canvases_.push_back({blackCanvas(), {}});
      free = &canvases_.back();
    } else {
      // Every pooled canvas is still shown or queued: this frame gets its own.
      static thread_local Canvas spare;
      spare = {blackCanvas(), {}};
      free = &spare;
    }
  }
  // The last holder let go on another thread; see its writes before ours.
  std::atomic_thread_fence(std::memory_order_acquire);
  if (free->drawn != placement) {
    free->image.fill(kBlack);
    free->drawn = placement;
  }
  return free->image;
}

QImage PreviewScaler::letterbox(const uint8_t* bgra, int width, int height, size_t bytesPerRow) {
  const Placement p = placement(width, height);
  if (p.isEmpty() || !bgra || bytesPerRow < size_t(width) * 4) return {};
  // Row sampling: every step-th row, from the middle of each group of rows,
  // handed to the scaler as a shorter picture with a longer stride.
  const int step = reading_ == Reading::rowSampling ? std::max(1, height / (p.height * kRowsPerCanvasRow)) : 1;
  const int first = step / 2;
  const int rows = (height - first + step - 1) / step;
  // Kept while the picture size stays (sws_getCachedContext would rebuild
  // it on every call: the context rewrites its own flags).
  if (!sws_ || swsWidth_ != width || swsHeight_ != rows) {
    sws_freeContext(sws_);
    // Area averaging: a box filter, exact for the usual 4:1 reduction.
    sws_ = sws_getContext(width, rows, AV_PIX_FMT_BGRA, p.width, p.height, AV_PIX_FMT_BGRA, kScaleFlags, nullptr,
                          nullptr, nullptr);
    swsWidth_ = width;
    swsHeight_ = rows;
  }
  if (!sws_) return {};
  QImage& canvas = freeCanvas(p);
  const uint8_t* src[4] = {bgra + size_t(first) * bytesPerRow, nullptr, nullptr, nullptr};
  const int srcStride[4] = {int(bytesPerRow * size_t(step)), 0, 0, 0};
  uint8_t* target = canvas.bits() + size_t(p.y) * canvas.bytesPerLine() + size_t(p.x) * 4;
  const size_t canvasStride = size_t(canvas.bytesPerLine());
  if (isAligned(target, canvasStride)) {
    uint8_t* dst[4] = {target, nullptr, nullptr, nullptr};
    const int dstStride[4] = {int(canvasStride), 0, 0, 0};
    if (sws_scale(sws_, src, srcStride, 0, rows, dst, dstStride) != p.height) return {};
  } else {
    // swscale wants aligned rows: scale into a small buffer, then copy across.
    const size_t stride = (size_t(p.width) * 4 + 63) & ~size_t(63);
    scratch_.resize(stride * size_t(p.height) + 64);
    uint8_t* base = scratch_.data() + (64 - reinterpret_cast<uintptr_t>(scratch_.data()) % 64) % 64;
    uint8_t* dst[4] = {base, nullptr, nullptr, nullptr};
    const int dstStride[4] = {int(stride), 0, 0, 0};
    if (sws_scale(sws_, src, srcStride, 0, rows, dst, dstStride) != p.height) return {};
    for (int y = 0; y < p.height; ++y)
      std::memcpy(target + size_t(y) * canvasStride, base + size_t(y) * stride, size_t(p.width) * 4);
  }
  return canvas;
}

// ---- PreviewRenderer

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
      setCurrentFrame(PreviewScaler::blackCanvas());
      break;
    case CameraMode::image: {
      dropCaptureSession();
      // Selecting an image publishes the mode and the id one after the
      // other; the picture already shown is not decoded a second time.
      if (shownImageId_ && shownImageId_ == imageId && !currentFrame_.isNull()) break;
      QImage picture = loadLibraryImage(imageId);
      const bool loaded = !picture.isNull();
      setCurrentFrame(loaded ? std::move(picture) : PreviewScaler::blackCanvas());
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
  // An animation shows its first picture.
  auto first = imaging::decodeFirstPicture(*path);
  if (!first) return {};
  return imageScaler_.letterbox(first->pixels.data(), first->width, first->height, first->stride);
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
    setCurrentFrame(PreviewScaler::blackCanvas());
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

  std::shared_ptr<capture::CaptureSession> session = link->devices->makeSession();
  if (!session) return finish(nullptr, nullptr);
  session->setPreset(kPresetWidth, kPresetHeight);

  capture::InputResult input = link->devices->makeInput(device);
  if (!input.input) {
    log::processLog("PreviewRenderer: failed to setup camera: %s", input.error.c_str());
    return finish(nullptr, nullptr);
  }
  if (!session->canAddInput(*input.input)) return finish(nullptr, nullptr);
  session->addInput(input.input);

  auto output = std::make_shared<capture::VideoOutput>();
  output->pixelFormat = frames::kFourCCBGRA;
  output->alwaysDiscardsLateVideoFrames = true;
  output->callbackQueue = link->captureQueue;
  output->onFrame = [weak, cameraId](const capture::SampleBuffer& sample) { handleFrame(weak, sample, cameraId); };
  output->onInterrupted = [weak, cameraId, serial](const std::string& reason) {
    auto l = weak.lock();
    if (!l) return;
    l->mainQueue->async([weak, cameraId, serial, reason] {
      auto strong = weak.lock();
      if (strong && strong->owner) strong->owner->sessionInterrupted(serial, cameraId, reason);
    });
  };
  if (!session->canAddOutput(*output)) return finish(nullptr, nullptr);
  session->addOutput(output);

  session->startRunning();
  finish(std::move(session), std::move(output));
}

void PreviewRenderer::finishSetUp(std::shared_ptr<capture::CaptureSession> session,
                                  std::shared_ptr<capture::VideoOutput> output, const std::string& cameraId,
                                  uint64_t serial) {
  if (serial == pendingSerial_) pendingSerial_ = 0;
  if (!session) return;
  const auto& selected = cameraManager_.selectedCameraId();
  const bool stillWanted = isActive_ && cameraManager_.currentMode() == CameraMode::camera && selected &&
                           *selected == cameraId;
  // A second set-up for the same camera finds the first one adopted: one session is enough.
  if (!stillWanted || captureSession_) {
    session->stopRunning();
    return;
  }
  captureSession_ = std::move(session);
  videoOutput_ = std::move(output);
  sessionSerial_ = serial;
}

void PreviewRenderer::handleFrame(const std::weak_ptr<Link>& weak, const capture::SampleBuffer& sample,
                                  const std::string& cameraId) {
  auto link = weak.lock();
  if (!link || !link->alive) return;
  // Saves the work only; the main thread decides.
  if (!link->active || !link->cameraMode) return;
  if (!sample.image) return;
  QImage& free = link->freeCanvas();
  if (free.isNull()) return;
  // Letterboxed like a library picture: the whole camera picture, black where
  // the aspects differ (a reused canvas is cleared, so no old bars linger).
  const frames::VideoFrame& frame = sample.image;
  constexpr int W = PreviewScaler::kWidth, H = PreviewScaler::kHeight;
  const double s = std::min(double(W) / frame.width, double(H) / frame.height);
  const int w = std::clamp(static_cast<int>(std::lround(frame.width * s)) & ~1, 2, W);
  const int h = std::clamp(static_cast<int>(std::lround(frame.height * s)) & ~1, 2, H);
  if (w != W || h != H) free.fill(Qt::black);
  uint8_t* origin = free.bits() + static_cast<size_t>((H - h) / 2) * free.bytesPerLine() + ((W - w) / 2) * 4;
  if (!link->frameWriter.write(frame, frames::Layout::bgra, w, h, origin, int(free.bytesPerLine()))) return;
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
    canvases.emplace_back(PreviewScaler::kWidth, PreviewScaler::kHeight, QImage::Format_RGB32);
    return canvases.back();
  }
  spare = QImage(PreviewScaler::kWidth, PreviewScaler::kHeight, QImage::Format_RGB32);
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
  if (isActive_) setCurrentFrame(PreviewScaler::blackCanvas());
}

void PreviewRenderer::setCurrentFrame(QImage frame) {
  shownImageId_.reset();
  emit objectWillChange();
  emit currentFrameWillChange();
  currentFrame_ = std::move(frame);
  emit currentFrameChanged();
}

}  // namespace tovrelle
