#include "app/model/CameraDeviceManager.h"

#include "app/model/ApplicationEvents.h"
#include "platform/dispatch/QtMainQueue.h"

namespace tovrelle {

CameraDeviceManager::CameraDeviceManager(Dependencies dependencies, QObject* parent)
    : QObject(parent),
      devices_(std::move(dependencies.devices)),
      mainQueue_(std::move(dependencies.mainQueue)),
      discoveryQueue_(dependencies.discoveryQueue ? std::move(dependencies.discoveryQueue)
                                                  : dispatch::makeSerialQueue(kDiscoveryQueueLabel)),
      anchor_(std::make_shared<Anchor>(Anchor{this})) {
  if (!devices_) return;  // nothing to discover with: the list stays empty
  std::weak_ptr<Anchor> anchor = anchor_;
  schedulePass(anchor, devices_, mainQueue_, discoveryQueue_);
  // Connects and disconnects arrive through one registration; each schedules one pass.
  observers_.push_back(devices_->subscribe(
      [anchor, devices = devices_, main = mainQueue_, discovery = discoveryQueue_](
          capture::DeviceEvent, const capture::DeviceInfo&) { schedulePass(anchor, devices, main, discovery); }));
}

CameraDeviceManager::~CameraDeviceManager() {
  observers_.clear();
  anchor_->owner = nullptr;
}

void CameraDeviceManager::schedulePass(const std::weak_ptr<Anchor>& anchor,
                                       const std::shared_ptr<capture::CaptureDevices>& devices,
                                       const std::shared_ptr<dispatch::Queue>& mainQueue,
                                       const std::shared_ptr<dispatch::Queue>& discoveryQueue) {
  discoveryQueue->async([anchor, devices, mainQueue] { runPass(anchor, devices, mainQueue); });
}

void CameraDeviceManager::refreshCameras() { runPass(anchor_, devices_, mainQueue_); }

void CameraDeviceManager::runPass(const std::weak_ptr<Anchor>& anchor,
                                  const std::shared_ptr<capture::CaptureDevices>& devices,
                                  const std::shared_ptr<dispatch::Queue>& mainQueue) {
  if (anchor.expired() || !devices) return;  // a manager that is gone is not refreshed
  auto found = camerasFrom(devices->devices());
  mainQueue->async([anchor, found = std::move(found)]() mutable {
    auto strong = anchor.lock();
    if (strong && strong->owner) strong->owner->setCameras(std::move(found));
  });
}

std::vector<CameraInfo> CameraDeviceManager::camerasFrom(const std::vector<capture::DeviceInfo>& devices) {
  std::vector<CameraInfo> cameras;
  cameras.reserve(devices.size());
  for (const auto& device : devices) {
    if (device.localizedName == kOwnCameraName) continue;
    cameras.push_back(CameraInfo{device.uniqueId, device.localizedName});
  }
  return cameras;
}

void CameraDeviceManager::setCameras(std::vector<CameraInfo> cameras) {
  emit objectWillChange();
  emit camerasWillChange();
  cameras_ = std::move(cameras);
  hasLooked_ = true;
  emit camerasChanged();
}

}  // namespace tovrelle
