#pragma once
// The host's model objects and the platform services under them: main()
// builds one AppObjects after the QApplication and the data folder are
// ready, in the order below (each member only needs the ones before it),
// and hands its members to the views. They are destroyed in reverse order
// when main() returns, which stops and joins their threads.
//
// Thread-bound (main thread): made, used and destroyed there.
#include <memory>

#include "app/installer/CameraServiceInstaller.h"
#include "app/model/ApplicationEvents.h"
#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraFeedStatus.h"
#include "app/model/CameraManager.h"
#include "app/model/CameraPermission.h"
#include "app/model/ImageManager.h"
#include "app/model/LoginItemManager.h"
#include "app/model/PreviewRenderer.h"
#include "app/model/Settings.h"
#include "app/model/VideoDeviceStatus.h"
#include "app/shortcuts/KeyboardShortcuts.h"
#include "platform/capture/CaptureDevices.h"
#include "platform/dispatch/QtMainQueue.h"
#include "platform/urls/UrlOpener.h"
#include "platform/videodevice/VideoDevices.h"

namespace tovrelle {

// The camera-service installer on the Linux backend; a removal by the user is
// remembered in `settings`.
std::shared_ptr<CameraServiceInstaller> makeCameraServiceInstaller(Settings& settings,
                                                                   std::shared_ptr<dispatch::Queue> mainQueue);

struct AppObjects {
  explicit AppObjects(Settings& settings);
  ~AppObjects();
  AppObjects(const AppObjects&) = delete;
  AppObjects& operator=(const AppObjects&) = delete;

  Settings& settings;
  std::shared_ptr<dispatch::QtMainQueue> mainQueue;
  host::ApplicationEvents events;
  std::shared_ptr<capture::CaptureDevices> captureDevices;
  std::shared_ptr<urls::UrlOpener> urlOpener;
  std::shared_ptr<videodevice::VideoDevices> videoDevices;

  std::unique_ptr<ImageManager> images;
  std::unique_ptr<CameraManager> camera;
  std::unique_ptr<CameraDeviceManager> cameraDevices;
  std::unique_ptr<CameraPermission> cameraPermission;
  std::unique_ptr<VideoDeviceStatus> videoDevice;
  std::unique_ptr<CameraFeedStatus> cameraFeed;
  std::unique_ptr<PreviewRenderer> preview;
  std::shared_ptr<CameraServiceInstaller> installer;
  std::unique_ptr<LoginItemManager> loginItem;
  std::unique_ptr<KeyboardShortcuts::ShortcutRegistry> shortcuts;
};

}  // namespace tovrelle
