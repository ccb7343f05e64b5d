// The camera mode of the stream source: opening the chosen camera on the
// capture queue, passing its frames on, and the clock that fills in black
// while it opens, stalls or goes.
#include "extension/StreamSource.h"
#include "platform/capture/OpenCamera.h"
#include "platform/log/Log.h"

namespace tovrelle::extension {
namespace {

const log::Logger& logger() {
  static const log::Logger l(kLogSubsystem, kLogCategory);
  return l;
}

}  // namespace

// --- camera mode --------------------------------------------------------------------

void StreamSource::startCamera(const std::optional<std::string>& id) {
  // The clock runs from now on, whatever the camera does: black while it
  // opens, then nothing while it sends, its last frame or black when it stops.
  startCameraClock();
  setCameraFeed(CameraFeed::starting);
  queueCameraSetup(id);
}

void StreamSource::queueCameraSetup(const std::optional<std::string>& id) {
  ++cameraSetupsInFlight;
  std::weak_ptr<StreamSource> weak = weak_from_this();
  captureQueue->async([weak, id] {
    auto self = weak.lock();
    if (!self) return;
    const CameraFeed outcome = self->setupCamera(id);
    // After the adoption the set-up queued, on the same queue.
    self->deps.mainQueue->async([weak, id, outcome] {
      auto source = weak.lock();
      if (!source) return;
      --source->cameraSetupsInFlight;
      if (source->currentMode == CameraMode::camera && source->currentCameraId == id && !source->captureSession &&
          outcome != CameraFeed::starting)
        source->setCameraFeed(outcome);
    });
  });
}

void StreamSource::cameraAttached(const capture::DeviceInfo& device) {
  if (currentMode != CameraMode::camera || captureSession || cameraSetupsInFlight > 0) return;
  if (currentCameraId ? *currentCameraId != device.uniqueId : device.localizedName == kDeviceName) return;
  logger().info("camera \"%s\" (%s) is attached; opening it", device.localizedName.c_str(), device.uniqueId.c_str());
  queueCameraSetup(currentCameraId);
}

std::optional<capture::DeviceInfo> StreamSource::cameraFor(const std::optional<std::string>& id) {
  if (!deps.captureDevices) return std::nullopt;
  if (id) return deps.captureDevices->deviceWithUniqueId(*id);
  // No choice made: the system's default camera, else the first that is not ours.
  if (auto chosen = deps.captureDevices->defaultDevice(); chosen && chosen->localizedName != kDeviceName) return chosen;
  for (auto& device : deps.captureDevices->devices())
    if (device.localizedName != kDeviceName) return device;
  return std::nullopt;
}

CameraFeed StreamSource::setupCamera(const std::optional<std::string>& id) {
  auto device = cameraFor(id);
  if (!id) {
    if (!device) {
      logger().error("no camera selected and no camera attached; staying on black-screen");
      return CameraFeed::missing;
    }
    logger().info("no camera selected; using the default camera \"%s\" (%s)", device->localizedName.c_str(),
                  device->uniqueId.c_str());
  }
  if (!device) {
    logger().error("no physical camera matching id: %s", id->c_str());
    return CameraFeed::missing;
  }
  if (device->localizedName == kDeviceName) {
    logger().error("refusing to open our own virtual camera");
    return CameraFeed::failed;
  }
  const uint64_t token = ++nextCaptureToken;
  std::weak_ptr<StreamSource> weak = weak_from_this();
  capture::CameraRequest request;
  request.width = _streamFormat.width;
  request.height = _streamFormat.height;
  request.queue = captureQueue;
  request.onFrame = [weak, token](const capture::CapturedFrame& frame) {
    if (auto self = weak.lock()) self->forwardCameraFrame(frame, token);
  };
  request.onInterrupted = [weak, token](const std::string& reason) {
    if (auto self = weak.lock())
      self->deps.mainQueue->async([weak, token, reason] {
        if (auto source = weak.lock()) source->cameraInterrupted(token, reason);
      });
  };
  capture::OpenedCamera opened = capture::openCamera(*deps.captureDevices, *device, std::move(request));
  if (!opened.session) {
    if (opened.failure == capture::OpenedCamera::Failure::refused)
      logger().error("%s", opened.error.c_str());
    else
      logger().error("failed to setup camera: %s", opened.error.c_str());
    return opened.deviceGone ? CameraFeed::missing : CameraFeed::failed;
  }
  auto session = std::move(opened.session);
  auto output = std::move(opened.output);
  auto self = shared_from_this();
  deps.mainQueue->async([self, id, session, output, token] { self->adoptCaptureSession(id, session, output, token); });
  return CameraFeed::starting;
}

void StreamSource::adoptCaptureSession(const std::optional<std::string>& id,
                                       std::shared_ptr<capture::CaptureSession> session,
                                       std::shared_ptr<capture::VideoOutput> output, uint64_t token) {
  if (currentMode == CameraMode::camera && currentCameraId == id) {
    // The camera clock keeps running: black until the camera's first frame.
    if (captureSession) {
      // A second set-up for the same camera finished: one session feeds the
      // stream, so the earlier one stops.
      activeCaptureToken = 0;
      captureSession->stopRunning();
    }
    captureSession = std::move(session);
    videoOutput = std::move(output);
    activeCaptureToken = token;
  } else {
    session->stopRunning();
  }
}

void StreamSource::cameraInterrupted(uint64_t token, const std::string& reason) {
  if (!captureSession || token != activeCaptureToken.load()) return;  // not the session feeding the stream
  logger().error("camera stopped: %s; falling back to black", reason.c_str());
  activeCaptureToken = 0;
  captureSession->stopRunning();
  captureSession.reset();
  videoOutput.reset();
  // The clock shows black from its next firing; the camera is opened again
  // when it is attached again.
  forgetCameraFrames();
  setCameraFeed(CameraFeed::missing);
}

void StreamSource::forgetCameraFrames() {
  lastCameraFrameAt = 0;
  cameraStalled = false;
  std::lock_guard lock(heldCameraFrameMutex);
  heldCameraFrame = {};
}

void StreamSource::setCameraFeed(CameraFeed feed) {
  std::lock_guard lock(cameraFeedMutex);
  if (cameraFeed == feed) return;
  cameraFeed = feed;
  deps.sink->setDeviceProperty(kCameraStateProperty, cameraFeedName(feed));
}

void StreamSource::forwardCameraFrame(const capture::CapturedFrame& sample, uint64_t token) {
  if (!isStreaming.load() || token != activeCaptureToken.load() || !sample.image) return;
  lastCameraFrameAt = std::max<uint64_t>(deps.hostClock(), 1);
  {
    // Copying the frame shares its bytes; nothing is allocated.
    std::lock_guard lock(heldCameraFrameMutex);
    heldCameraFrame = sample.image.storage ? sample.image : frames::VideoFrame{};
  }
  if (cameraStalled.exchange(false)) logger().info("the camera sends frames again");
  setCameraFeed(CameraFeed::live);
  // The frame keeps the camera's layout; the device converts it once, into
  // the client's buffer. Its number follows the drawn frames' (one counter).
  const uint64_t sequence = sequenceNumber.fetch_add(1) + 1;  // wraps
  deps.sink->queueFrame(sample.image, deps.hostClock(), sequence);
}

// --- the camera clock (timer queue) ---------------------------------------------------

void StreamSource::startCameraClock() {
  forgetCameraFrames();
  logger().info("startCameraClock (isStreaming=%s)", log::yesNo(isStreaming.load()));
  if (timer) timer->cancel();
  std::weak_ptr<StreamSource> weak = weak_from_this();
  auto firstFrameLogged = std::make_shared<bool>(false);
  timer =
      timerQueue->schedule(dispatch::Duration::zero(), std::chrono::duration_cast<dispatch::Duration>(kFrameDuration),
                           [weak, firstFrameLogged] {
                             auto self = weak.lock();
                             if (!self || !self->isStreaming.load()) return;
                             if (!*firstFrameLogged) {
                               logger().info("camera-clock firing first frame");
                               *firstFrameLogged = true;
                             }
                             self->cameraClockTick();
                           });
}

void StreamSource::cameraClockTick() {
  const uint64_t last = lastCameraFrameAt.load();
  if (last != 0) {
    const double silent = static_cast<double>(deps.hostClock() - std::min(last, deps.hostClock())) / 1e9;
    if (silent < kCameraQuietAfter) return;  // the camera paces the stream
    if (silent < kCameraStallAfter) {
      frames::VideoFrame held;
      {
        std::lock_guard lock(heldCameraFrameMutex);
        held = heldCameraFrame;
      }
      if (held) {
        const uint64_t sequence = sequenceNumber.fetch_add(1) + 1;  // wraps
        deps.sink->queueFrame(held, deps.hostClock(), sequence);
      }
      // A frame read in the camera's own buffer cannot be kept; clients go
      // on showing it, where black would make a slow camera flicker.
      return;
    } else if (!cameraStalled.exchange(true)) {
      {
        std::lock_guard lock(heldCameraFrameMutex);
        heldCameraFrame = {};
      }
      logger().error("the camera has sent no frame for %.1f s; showing black until it sends again", kCameraStallAfter);
      setCameraFeed(CameraFeed::stalled);
    }
  }
  sendFrame(blackFrame);
}

}  // namespace tovrelle::extension
