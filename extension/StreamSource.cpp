#include "extension/StreamSource.h"

#include "platform/drawing/Pictures.h"
#include "platform/log/Log.h"
#include "shared/DataFolder.h"

namespace tovrelle::extension {
namespace {

const log::Logger& logger() {
  static const log::Logger l(kLogSubsystem, kLogCategory);
  return l;
}

const char* modeName(CameraMode mode) { return rawValue(mode); }

int64_t stateHash(const CameraState& state) {
  // Mode, then each id with a presence marker, so an absent id differs from
  // every present one.
  std::string key = rawValue(state.mode);
  key += '\x1f';
  key += state.selectedImageId ? "1" + state.selectedImageId->toString() : "0";
  key += '\x1f';
  key += state.selectedCameraId ? "1" + *state.selectedCameraId : "0";
  auto h = static_cast<int64_t>(std::hash<std::string>{}(key));
  return h == 0 ? 1 : h;  // 0 is the "nothing logged yet" value
}

}  // namespace

const char* cameraFeedName(CameraFeed feed) {
  switch (feed) {
    case CameraFeed::none: return "none";
    case CameraFeed::starting: return "starting";
    case CameraFeed::live: return "live";
    case CameraFeed::stalled: return "stalled";
    case CameraFeed::missing: return "missing";
    case CameraFeed::failed: return "failed";
  }
  return "none";
}

const Uuid& deviceID() {
  static const Uuid id = *Uuid::parse(kDeviceIDString);
  return id;
}

const Uuid& streamID() {
  static const Uuid id = *Uuid::parse(kStreamIDString);
  return id;
}

std::optional<camera::StreamFormat> makeStreamFormat(const camera::VirtualCamera& sink) {
  camera::StreamFormat format;
  format.pixelFormat = frames::PixelFormat::bgra;
  format.width = frames::kFrameWidth;
  format.height = frames::kFrameHeight;
  format.minFrameDuration = kFrameDuration;
  format.maxFrameDuration = kFrameDuration;
  if (!sink.supportsFormat(format)) return std::nullopt;
  return format;
}

std::shared_ptr<StreamSource> StreamSource::create(const std::string& localizedName, Dependencies deps) {
  if (!deps.mainQueue || !deps.sink) return nullptr;
  auto format = makeStreamFormat(*deps.sink);
  if (!format) {
    logger().error("Failed to create stream format");
    return nullptr;
  }
  return std::shared_ptr<StreamSource>(new StreamSource(localizedName, std::move(deps), *format));
}

StreamSource::StreamSource(const std::string& localizedName, Dependencies d, camera::StreamFormat format)
    : _streamFormat(format), deps(std::move(d)) {
  timerQueue = deps.timerQueue ? deps.timerQueue : dispatch::makeSerialQueue(kTimerQueueLabel);
  captureQueue = deps.captureQueue ? deps.captureQueue : dispatch::makeSerialQueue(kCaptureQueueLabel);
  imageQueue = deps.imageQueue ? deps.imageQueue : dispatch::makeSerialQueue(kImageQueueLabel);
  if (!deps.makeCameraOffFrame) deps.makeCameraOffFrame = drawing::makeCameraOffFrame;
  if (!deps.makeNotRunningFrame) deps.makeNotRunningFrame = drawing::makeNotRunningFrame;
  if (!deps.loadAnimatedImage) deps.loadAnimatedImage = extension::loadAnimatedImage;
  if (!deps.loadStillImage) deps.loadStillImage = extension::loadStillImage;
  if (!deps.wallClock) deps.wallClock = [] { return std::chrono::system_clock::now(); };
  if (!deps.hostClock) deps.hostClock = frames::hostTimeNanos;
  // Made once: the frame path only hands out what it already holds.
  if (auto black = frames::makeFrameBuffer(format.width, format.height)) {
    black->fillZero();
    blackFrame = std::move(black);
  }
  stream = StreamObject{localizedName, streamID()};
}

StreamSource::~StreamSource() {
  // Handlers hold this object weakly; what is still scheduled does nothing.
  if (timer) timer->cancel();
  if (stateCheckTimer) stateCheckTimer->cancel();
  if (notifiedCheckTimer) notifiedCheckTimer->cancel();
  if (watchingFolder) deps.folderWatcher->stop();
  activeCaptureToken = 0;
  if (captureSession) captureSession->stopRunning();
}

// --- stream source operations ------------------------------------------------

bool StreamSource::startStream() {
  startStreamingInternal();
  return true;
}

bool StreamSource::stopStream() {
  stopStreamingInternal();
  return true;
}

camera::StreamHandlers StreamSource::handlers() {
  std::weak_ptr<StreamSource> weak = weak_from_this();
  return camera::StreamHandlers{[weak] {
                                  if (auto self = weak.lock()) self->startStream();
                                },
                                [weak] {
                                  if (auto self = weak.lock()) self->stopStream();
                                }};
}

// --- start and stop (client queue) ------------------------------------------

void StreamSource::startStreamingInternal() {
  const bool was = isStreaming.load();
  logger().info("startStreamingInternal (was streaming=%s)", log::yesNo(was));
  if (was) return;
  isStreaming = true;
  sequenceNumber = 0;
  // The mode fields, the timers and the session belong to the main queue;
  // start and stop reach it in the order they were asked for.
  deps.mainQueue->async(dispatch::weakly(shared_from_this(), [](StreamSource& self) { self.beginStreaming(); }));
}

void StreamSource::beginStreaming() {
  if (deps.captureDevices && !deviceSubscription) {
    // A camera that comes back (or a first one, for the default camera) is
    // opened again without the user choosing it anew.
    std::weak_ptr<StreamSource> weak = weak_from_this();
    deviceSubscription = deps.captureDevices->subscribe(
        [weak, queue = deps.mainQueue](capture::DeviceEvent event, const capture::DeviceInfo& device) {
          if (event != capture::DeviceEvent::connected) return;
          queue->async([weak, device] {
            if (auto self = weak.lock()) self->cameraAttached(device);
          });
        });
  }
  currentMode = CameraMode::off;
  currentCameraId.reset();
  currentImageId.reset();
  currentImage.reset();
  currentAnimation.reset();
  hostRunning.reset();
  stateFailure.reset();
  startBlackScreenTimer();
  if (stateCheckTimer) stateCheckTimer->cancel();
  std::weak_ptr<StreamSource> weak = weak_from_this();
  stateCheckTimer =
      deps.mainQueue->schedule(dispatch::seconds(kStateCheckInterval), dispatch::seconds(kStateCheckInterval), [weak] {
        if (auto self = weak.lock()) self->checkState();
      });
  // Watching begins before the first read, so a change during it is not missed.
  startFolderWatch();
  checkState();
}

void StreamSource::stopStreamingInternal() {
  logger().info("stopStreamingInternal");
  isStreaming = false;
  deps.mainQueue->async(dispatch::weakly(shared_from_this(), [](StreamSource& self) {
    if (self.stateCheckTimer) self.stateCheckTimer->cancel();
    self.stateCheckTimer.reset();
    self.stopFolderWatch();
    self.stopAllSources();
  }));
}

// --- change notifications (main queue) -----------------------------------------

void StreamSource::startFolderWatch() {
  if (!deps.folderWatcher) return;
  stopFolderWatch();
  std::weak_ptr<StreamSource> weak = weak_from_this();
  auto queued = folderCheckQueued;
  auto failure = deps.folderWatcher->start(dataDir(), {kStateFileName, kImagesFileName, kHeartbeatFileName},
                                           [queued, queue = deps.mainQueue, weak] {
                                             // The watcher's thread: hand over, never touch the source here.
                                             if (queued->exchange(true)) return;
                                             queue->async([weak] {
                                               if (auto self = weak.lock()) self->folderChanged();
                                             });
                                           });
  watchingFolder = !failure;
  if (failure == folderWatchFailure) return;
  if (failure) {
    logger().error("data folder changes are not notified (%s); checking it every %.1f s", failure->c_str(),
                   kStateCheckInterval);
  } else {
    logger().info("data folder changes are notified again");
  }
  folderWatchFailure = std::move(failure);
}

void StreamSource::stopFolderWatch() {
  if (notifiedCheckTimer) notifiedCheckTimer->cancel();
  notifiedCheckTimer.reset();
  if (watchingFolder) deps.folderWatcher->stop();
  watchingFolder = false;
  folderCheckQueued->store(false);
}

void StreamSource::folderChanged() {
  // Cleared before reading, so a change from now on asks for another check.
  folderCheckQueued->store(false);
  if (!watchingFolder || notifiedCheckTimer) return;  // stopped, or a deferred check will read it
  const auto now = deps.mainQueue->now();
  const auto spacing = dispatch::seconds(kNotifiedCheckSpacing);
  if (lastNotifiedCheck && now - *lastNotifiedCheck < spacing) {
    std::weak_ptr<StreamSource> weak = weak_from_this();
    notifiedCheckTimer =
        deps.mainQueue->schedule(*lastNotifiedCheck + spacing - now, dispatch::Duration::zero(), [weak] {
          auto self = weak.lock();
          if (!self) return;
          self->notifiedCheckTimer.reset();
          self->lastNotifiedCheck = self->deps.mainQueue->now();
          self->checkState();
        });
    return;
  }
  lastNotifiedCheck = now;
  checkState();
}

// --- the poll (main queue) ----------------------------------------------------

bool StreamSource::isHostRunning() const { return isHostRunningAt(heartbeatFilePath(), deps.wallClock()); }

CameraState StreamSource::readState() {
  const auto path = stateFilePath();
  auto read = readFileBounded(path, kMaxStateFileBytes);
  if (!read) {
    reportStateFailure(log::format("cannot read state.json at %s: %s", path.c_str(), read.error().c_str()));
    return CameraState{};
  }
  auto state = decodeCameraState(*read);
  if (!state) {
    // Never the contents themselves: their size and an escaped start.
    reportStateFailure(log::format("cannot decode state.json (%d bytes): %s", static_cast<int>(read->size()),
                                   escapedExcerpt(*read).c_str()));
    return CameraState{};
  }
  stateFailure.reset();
  return *state;
}

void StreamSource::reportStateFailure(const std::string& line) {
  // A failure that persists is said when it begins or changes, and again
  // every kStateFailureRepeatPolls polls so a rotated log still shows it.
  if (stateFailure && stateFailure->line == line && ++stateFailure->pollsSinceSaid < kStateFailureRepeatPolls) return;
  stateFailure = StateFailure{line, 0};
  logger().error("%s", line.c_str());
}

void StreamSource::checkState() {
  const bool running = isHostRunning();
  bool forced = false;
  if (!hostRunning || *hostRunning != running) {
    logger().info("host running changed: %s -> %s", hostRunning ? log::yesNo(*hostRunning) : "unknown",
                  log::yesNo(running));
    hostRunning = running;
    stopAllSources();
    currentMode = CameraMode::off;
    if (!running) {
      currentCameraId.reset();
      currentImageId.reset();
      currentImage.reset();
      currentAnimation.reset();
      startNotRunningTimer();
      return;
    }
    forced = true;
  } else if (!running) {
    return;
  }

  const CameraState state = readState();
  const int64_t hash = stateHash(state);
  if (hash != lastLoggedStateHash) {
    lastLoggedStateHash = hash;
    logger().info("observed state mode=%s image=%s camera=%s", modeName(state.mode),
                  describe(state.selectedImageId).c_str(), describe(state.selectedCameraId).c_str());
  }

  bool changed = forced || state.mode != currentMode;
  if (!changed && state.mode == CameraMode::image) changed = state.selectedImageId != currentImageId;
  if (!changed && state.mode == CameraMode::camera) changed = state.selectedCameraId != currentCameraId;
  if (!changed) return;

  logger().info("state change mode=%s image=%s camera=%s", modeName(state.mode),
                describe(state.selectedImageId).c_str(), describe(state.selectedCameraId).c_str());
  // A drawn picture (camera off, a still) keeps flowing while the next picture
  // decodes; a camera or an animation stops at once.
  const bool keepShowing = state.mode == CameraMode::image && state.selectedImageId && timer && !captureSession &&
                           currentMode != CameraMode::camera && !currentAnimation;
  currentMode = state.mode;
  ++*latestImageLoad;  // a picture still decoding is no longer wanted
  if (!keepShowing) stopAllSources();
  switch (state.mode) {
    case CameraMode::off:
      currentCameraId.reset();
      currentImageId.reset();
      currentImage.reset();
      currentAnimation.reset();
      startCameraOffTimer();
      break;
    case CameraMode::camera:
      currentImageId.reset();
      currentImage.reset();
      currentAnimation.reset();
      currentCameraId = state.selectedCameraId;
      startCamera(currentCameraId);
      break;
    case CameraMode::image:
      currentCameraId.reset();
      currentImageId = state.selectedImageId;
      // An old animation goes before the next picture is decoded, so two long
      // animations are never held at once.
      currentAnimation.reset();
      if (!currentImageId) {
        startBlackScreenTimer();
      } else {
        showImage(*currentImageId);
      }
      break;
  }
}

void StreamSource::stopAllSources() {
  logger().info("stopAllSources begin (hasCaptureSession=%s hasTimer=%s)", log::yesNo(captureSession != nullptr),
                log::yesNo(timer != nullptr));
  if (captureSession) {
    activeCaptureToken = 0;
    captureSession->stopRunning();
  }
  captureSession.reset();
  videoOutput.reset();
  forgetCameraFrames();
  setCameraFeed(CameraFeed::none);
  if (timer) timer->cancel();
  timer.reset();
  logger().info("stopAllSources done");
}

// --- frame timers ---------------------------------------------------------------

void StreamSource::startFrameTimer(const char* firstFrameLine, std::function<frames::ConstFrameBufferRef()> nextFrame) {
  struct Firing {
    bool firstFrameLogged = false;
  };
  auto firing = std::make_shared<Firing>();
  if (timer) timer->cancel();  // one frame timer at a time
  std::weak_ptr<StreamSource> weak = weak_from_this();
  const auto interval = std::chrono::duration_cast<dispatch::Duration>(kFrameDuration);
  timer = timerQueue->schedule(dispatch::Duration::zero(), interval,
                               [weak, firing, firstFrameLine, nextFrame = std::move(nextFrame)] {
                                 auto self = weak.lock();
                                 if (!self || !self->isStreaming.load()) return;
                                 if (!firing->firstFrameLogged) {
                                   logger().info("%s", firstFrameLine);
                                   firing->firstFrameLogged = true;
                                 }
                                 if (auto frame = nextFrame()) self->sendFrame(frame);
                               });
}

void StreamSource::startBlackScreenTimer() {
  logger().info("startBlackScreenTimer (isStreaming=%s)", log::yesNo(isStreaming.load()));
  startFrameTimer("black-timer firing first frame", [frame = blackFrame] { return frame; });
}

frames::ConstFrameBufferRef StreamSource::cachedFrame(CachedFrame& cache,
                                                      const std::function<frames::FrameBufferRef(int, int)>& make) {
  if (!cache.built) {
    cache.buffer = make(_streamFormat.width, _streamFormat.height);
    cache.built = true;
  }
  return cache.buffer;
}

void StreamSource::startCameraOffTimer() {
  auto frame = cachedFrame(cameraOffFrameBuffer, deps.makeCameraOffFrame);
  if (!frame) {
    logger().error("cameraOffFrameBuffer unavailable, falling back to black");
    startBlackScreenTimer();
    return;
  }
  logger().info("startCameraOffTimer (isStreaming=%s)", log::yesNo(isStreaming.load()));
  startFrameTimer("camera-off-timer firing first frame", [frame] { return frame; });
}

void StreamSource::startNotRunningTimer() {
  auto frame = cachedFrame(notRunningFrameBuffer, deps.makeNotRunningFrame);
  if (!frame) {
    logger().error("notRunningFrameBuffer unavailable, falling back to black");
    startBlackScreenTimer();
    return;
  }
  logger().info("startNotRunningTimer (isStreaming=%s)", log::yesNo(isStreaming.load()));
  startFrameTimer("not-running-timer firing first frame", [frame] { return frame; });
}

void StreamSource::startImageTimer() {
  if (!currentImage) return;
  logger().info("startImageTimer (isStreaming=%s)", log::yesNo(isStreaming.load()));
  // The still is rendered once when loaded; a firing only hands it on (and
  // sends nothing when it could not be rendered).
  startFrameTimer("image-timer firing first frame", [frame = currentImage->rendered] { return frame; });
}

void StreamSource::startAnimatedImageTimer(std::shared_ptr<AnimatedImage> animation) {
  currentAnimation = std::move(animation);
  logger().info("startAnimatedImageTimer (%d frames, isStreaming=%s)", static_cast<int>(currentAnimation->frameCount()),
                log::yesNo(isStreaming.load()));
  // The timer holds the animation weakly: `currentAnimation` is its one
  // owner, so clearing that field frees it before the next picture loads.
  struct Playback {
    std::weak_ptr<AnimatedImage> animation;
    size_t frameIndex = 0;
    dispatch::Clock::time_point frameShownAt;
  };
  auto playback = std::make_shared<Playback>();
  playback->animation = currentAnimation;
  playback->frameShownAt = timerQueue->now();
  std::weak_ptr<dispatch::Queue> weakQueue = timerQueue;
  startFrameTimer("animation-timer firing first frame", [playback, weakQueue]() -> frames::ConstFrameBufferRef {
    auto q = weakQueue.lock();
    auto animation = playback->animation.lock();
    if (!q || !animation) return nullptr;
    const auto now = q->now();
    auto& p = *playback;
    const double shown = std::chrono::duration<double>(now - p.frameShownAt).count();
    if (shown >= animation->delay(p.frameIndex)) {
      // Restart the clock at this firing: lateness does not carry over.
      p.frameIndex = (p.frameIndex + 1) % animation->frameCount();
      p.frameShownAt = now;
    }
    return animation->frame(p.frameIndex);
  });
}

// --- image mode -------------------------------------------------------------------

void StreamSource::showImage(const Uuid& id) {
  const auto listPath = imagesFilePath();
  auto read = readFileBounded(listPath, kMaxImagesFileBytes);
  if (!read) {
    logger().error("cannot read images.json at %s: %s", listPath.c_str(), read.error().c_str());
    stopAllSources();
    startBlackScreenTimer();
    return;
  }
  auto images = decodeSavedImages(*read);
  if (!images) {
    logger().error("cannot decode images.json (%d bytes)", static_cast<int>(read->size()));
    stopAllSources();
    startBlackScreenTimer();
    return;
  }
  const SavedImageData* entry = nullptr;
  for (const auto& image : *images) {
    if (image.id == id) {
      entry = &image;
      break;
    }
  }
  if (!entry) {
    logger().error("imageId %s not found in %d saved images", id.toString().c_str(), static_cast<int>(images->size()));
    stopAllSources();
    startBlackScreenTimer();
    return;
  }

  // The loaders open only a plain file directly inside Images, never through
  // a link, so a name or a link leading elsewhere is unreadable.
  auto file = imageFilePath(entry->fileName);
  if (!file) {
    const std::string shown = (imagesDir() / entry->fileName).lexically_normal().string();
    logger().error("NSImage(contentsOf:) failed for %s", shown.c_str());
    stopAllSources();
    startBlackScreenTimer();
    return;
  }

  // Decoded off the main queue and the frame clock; what is shown now
  // flows meanwhile, or black.
  if (!timer) startBlackScreenTimer();
  const uint64_t load = ++*latestImageLoad;
  std::weak_ptr<StreamSource> weak = weak_from_this();
  imageQueue->async([weak, latest = latestImageLoad, load, id, name = entry->name, file = *file,
                     loadAnimated = deps.loadAnimatedImage, loadStill = deps.loadStillImage,
                     mainQueue = deps.mainQueue] {
    if (latest->load() != load) return;  // another picture was asked for meanwhile
    LoadedImage image;
    if (auto animation = loadAnimated(file); animation && animation->frameCount() >= 2) {
      image.animation = std::move(animation);
    } else if (latest->load() == load) {
      image.still = loadStill(file);
    }
    mainQueue->async([weak, load, id, name, file, image = std::move(image)]() mutable {
      if (auto self = weak.lock()) self->imageLoaded(load, id, name, file, std::move(image));
    });
  });
}

void StreamSource::imageLoaded(uint64_t load, const Uuid& id, const std::string& name,
                               const std::filesystem::path& file, LoadedImage image) {
  if (load != latestImageLoad->load() || currentMode != CameraMode::image || currentImageId != id ||
      !isStreaming.load())
    return;
  stopAllSources();
  currentImage.reset();
  if (image.animation) {
    logger().info("loaded animated image %s (%d frames)", name.c_str(),
                  static_cast<int>(image.animation->frameCount()));
    startAnimatedImageTimer(std::move(image.animation));
    return;
  }
  if (!image.still) {
    logger().error("NSImage(contentsOf:) failed for %s", file.c_str());
    startBlackScreenTimer();
    return;
  }
  logger().info("loaded image %s (%.0fx%.0f) for display", name.c_str(), static_cast<double>(image.still->pixelWidth),
                static_cast<double>(image.still->pixelHeight));
  currentImage = std::move(image.still);
  startImageTimer();
}

// --- frame delivery (timer queue) -------------------------------------------------------

void StreamSource::sendFrame(const frames::ConstFrameBufferRef& buffer) {
  const uint64_t now = deps.hostClock();
  const uint64_t sequence = sequenceNumber.fetch_add(1) + 1;  // wraps
  deps.sink->queueFrame(buffer, now, sequence);
}

}  // namespace tovrelle::extension
