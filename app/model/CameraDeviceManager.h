#pragma once
// The physical cameras the user can pick for camera mode: one discovery pass
// at creation and one per connect or disconnect the capture service reports,
// each on the serial queue "ossel.tovrelle.cameradiscovery". Our own virtual
// camera ("Tovrelle") is left out so it can never be fed into itself.
//
// `cameras` is published on the main queue after every pass, even when the
// list did not change: camerasWillChange() before, camerasChanged() after.
// Thread-bound (main thread): the list and its signals. A pass reads the
// capture service on the discovery queue and holds only a weak anchor, so
// one that outlives the manager publishes nothing.
#include <QObject>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/CaptureDevices.h"
#include "platform/dispatch/Dispatch.h"

namespace tovrelle {

struct CameraInfo {
  std::string id;    // the capture device's unique id, stored as selectedCameraId
  std::string name;  // its display name
  friend bool operator==(const CameraInfo&, const CameraInfo&) = default;
};

class CameraDeviceManager : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kDiscoveryQueueLabel = "ossel.tovrelle.cameradiscovery";
  // The name under which our extension's camera appears among the system's cameras.
  static constexpr const char* kOwnCameraName = "Tovrelle";

  struct Dependencies {
    std::shared_ptr<capture::CaptureDevices> devices;
    std::shared_ptr<dispatch::Queue> mainQueue;
    // Where passes run; none: a new serial queue labelled kDiscoveryQueueLabel.
    std::shared_ptr<dispatch::Queue> discoveryQueue;
  };

  // Schedules the first pass and subscribes to device notifications.
  explicit CameraDeviceManager(Dependencies dependencies, QObject* parent = nullptr);
  ~CameraDeviceManager() override;

  // The last pass's result in the capture service's order; empty until the first pass has finished.
  const std::vector<CameraInfo>& cameras() const { return cameras_; }
  // Whether a pass has finished: before that, an empty list means nothing yet.
  bool hasLooked() const { return hasLooked_; }

  // One discovery pass. Must run on the discovery queue; the manager schedules it itself.
  void refreshCameras();

  const std::shared_ptr<dispatch::Queue>& discoveryQueue() const { return discoveryQueue_; }

  // The pass's filter and mapping, on a device list.
  static std::vector<CameraInfo> camerasFrom(const std::vector<capture::DeviceInfo>& devices);

 signals:
  void objectWillChange();
  void camerasWillChange();
  void camerasChanged();

 private:
  // What scheduled work holds instead of the manager: `owner` is cleared on
  // the main thread when the manager goes away.
  struct Anchor {
    CameraDeviceManager* owner;
  };
  static void runPass(const std::weak_ptr<Anchor>& anchor, const std::shared_ptr<capture::CaptureDevices>& devices,
                      const std::shared_ptr<dispatch::Queue>& mainQueue);
  static void schedulePass(const std::weak_ptr<Anchor>& anchor, const std::shared_ptr<capture::CaptureDevices>& devices,
                           const std::shared_ptr<dispatch::Queue>& mainQueue,
                           const std::shared_ptr<dispatch::Queue>& discoveryQueue);
  void setCameras(std::vector<CameraInfo> cameras);

  std::shared_ptr<capture::CaptureDevices> devices_;
  bool hasLooked_ = false;
  std::shared_ptr<dispatch::Queue> mainQueue_;
  std::shared_ptr<dispatch::Queue> discoveryQueue_;
  std::shared_ptr<Anchor> anchor_;
  std::vector<CameraInfo> cameras_;
  std::vector<std::unique_ptr<capture::Subscription>> observers_;
};

}  // namespace tovrelle
