#include "app/model/CameraFeedStatus.h"

#include <QPointer>
#include <algorithm>

#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraManager.h"
#include "platform/camera/pipewire/PipeWireCameraFeed.h"
#include "platform/dispatch/QtMainQueue.h"
#include "platform/log/Log.h"

namespace tovrelle {
namespace {

const char* problemName(CameraFeedStatus::Problem problem) {
  switch (problem) {
    case CameraFeedStatus::Problem::none: return "none";
    case CameraFeedStatus::Problem::noCamera: return "no camera connected";
    case CameraFeedStatus::Problem::chosenGone: return "chosen camera not connected";
    case CameraFeedStatus::Problem::stalled: return "camera stopped sending pictures";
    case CameraFeedStatus::Problem::failed: return "camera cannot be opened";
    case CameraFeedStatus::Problem::notFound: return "no camera found by the camera service";
  }
  return "?";
}

}  // namespace

CameraFeedStatus::CameraFeedStatus(Dependencies dependencies, QObject* parent)
    : QObject(parent), dependencies_(std::move(dependencies)) {
  if (auto* m = dependencies_.camera) {
    connect(m, &CameraManager::currentModeChanged, this, &CameraFeedStatus::modelChanged);
    connect(m, &CameraManager::selectedCameraIdChanged, this, &CameraFeedStatus::modelChanged);
  }
  if (auto* m = dependencies_.devices)
    connect(m, &CameraDeviceManager::camerasChanged, this, &CameraFeedStatus::modelChanged);
  published_ = problem();
  refresh();
}

CameraFeedStatus::~CameraFeedStatus() {
  if (settleTimer_) settleTimer_->cancel();
}

CameraFeedStatus::Problem CameraFeedStatus::problem() const {
  const CameraManager* camera = dependencies_.camera;
  if (!camera || camera->currentMode() != CameraMode::camera) return Problem::none;
  if (const CameraDeviceManager* devices = dependencies_.devices; devices && devices->hasLooked()) {
    const auto& cameras = devices->cameras();
    if (cameras.empty()) return Problem::noCamera;
    if (const auto& id = camera->selectedCameraId();
        id && std::none_of(cameras.begin(), cameras.end(), [&](const CameraInfo& info) { return info.id == *id; }))
      return Problem::chosenGone;
  }
  switch (feedState_) {
    case camera::FeedState::stalled: return Problem::stalled;
    case camera::FeedState::failed: return Problem::failed;
    case camera::FeedState::missing: return Problem::notFound;
    default: return Problem::none;
  }
}

QString CameraFeedStatus::text(Problem problem) {
  switch (problem) {
    case Problem::none: return {};
    case Problem::noCamera:
      //: Camera mode with no physical camera attached; the virtual camera shows black
      return qtTrId("cameraFeed.noCamera");
    case Problem::chosenGone:
      //: The camera picked in the camera menu is unplugged; the virtual camera shows black
      return qtTrId("cameraFeed.chosenGone");
    case Problem::stalled:
      //: The passed-through camera stopped delivering frames; the virtual camera shows black
      return qtTrId("cameraFeed.stalled");
    case Problem::failed:
      //: The passed-through camera cannot be opened; the virtual camera shows black
      return qtTrId("cameraFeed.failed");
    case Problem::notFound:
      //: The camera service finds no camera to pass through; the virtual camera shows black
      return qtTrId("cameraFeed.notFound");
  }
  return {};
}

void CameraFeedStatus::modelChanged() {
  // What the service said was about the camera shown before.
  feedState_ = camera::FeedState::unknown;
  publishIfChanged();
  refresh();
  if (!dependencies_.mainQueue || !dependencies_.camera || dependencies_.camera->currentMode() != CameraMode::camera)
    return;
  if (settleTimer_) settleTimer_->cancel();
  QPointer<CameraFeedStatus> self(this);
  settleTimer_ = dependencies_.mainQueue->schedule(kSettleDelay, {}, [self] {
    if (self) self->refresh();
  });
}

void CameraFeedStatus::refresh() {
  if (!dependencies_.feed || !dependencies_.camera || dependencies_.camera->currentMode() != CameraMode::camera) return;
  if (looking_) {
    lookAgain_ = true;
    return;
  }
  looking_ = true;
  QPointer<CameraFeedStatus> self(this);
  dependencies_.feed->look([self](camera::FeedState state) {
    if (!self) return;
    self->looking_ = false;
    self->apply(state);
    if (std::exchange(self->lookAgain_, false)) self->refresh();
  });
}

void CameraFeedStatus::apply(camera::FeedState state) {
  feedState_ = state;
  publishIfChanged();
}

void CameraFeedStatus::publishIfChanged() {
  const Problem now = problem();
  if (now == published_) return;
  published_ = now;
  log::processLog("CameraFeedStatus: %s", problemName(now));
  emit changed();
}

std::shared_ptr<void> CameraFeedStatus::watch() { return watching_.watch(); }

}  // namespace tovrelle
