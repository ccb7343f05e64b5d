#include "app/shell/AppObjects.h"

#include "platform/camera/pipewire/PipeWireCameraFeed.h"
#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "platform/loginitem/XdgAutostart.h"
#include "platform/userservice/SystemdCameraService.h"
#include "platform/videodevice/linux/LinuxVideoDevices.h"
#include "shared/DataFolder.h"

namespace tovrelle {

std::shared_ptr<CameraServiceInstaller> makeCameraServiceInstaller(Settings& settings,
                                                                   std::shared_ptr<dispatch::Queue> mainQueue) {
  const auto prefix = userservice::installPrefix();
  // Without a home folder the service answers every call with that error.
  auto paths = userservice::ServicePaths::fromEnvironment(prefix);
  if (paths) {
    paths->dataFolder = dataDir();
    paths->cameraName = kVirtualCameraName;
  }
  CameraServiceInstaller::Environment environment{
      userservice::makeSystemdCameraService(std::move(paths), mainQueue), mainQueue, prefix, {}, {}, {}};
  environment.loadRemovedByUser = [&settings] { return settings.boolValue(CameraServiceInstaller::kRemovedByUserKey); };
  environment.storeRemovedByUser = [&settings](bool removed) {
    if (removed)
      settings.setValue(CameraServiceInstaller::kRemovedByUserKey, true);
    else
      settings.remove(CameraServiceInstaller::kRemovedByUserKey);
  };
  return CameraServiceInstaller::create(std::move(environment));
}

AppObjects::AppObjects(Settings& store) : settings(store), mainQueue(std::make_shared<dispatch::QtMainQueue>()) {
  captureDevices = capture::makePipeWireCaptureDevices();
  urlOpener = urls::makeDesktopUrlOpener();
  videoDevices = videodevice::makeLinuxVideoDevices({}, mainQueue);

  images = std::make_unique<ImageManager>(
      ImageManager::Dependencies{mainQueue, [this]() -> CameraManager& { return *camera; }});
  camera = std::make_unique<CameraManager>(
      CameraManager::Dependencies{mainQueue, [this]() -> ImageManager& { return *images; }, &settings});
  cameraDevices =
      std::make_unique<CameraDeviceManager>(CameraDeviceManager::Dependencies{captureDevices, mainQueue, nullptr});
  cameraPermission =
      std::make_unique<CameraPermission>(CameraPermission::Dependencies{captureDevices, urlOpener, &events});
  videoDevice = std::make_unique<VideoDeviceStatus>(VideoDeviceStatus::Dependencies{videoDevices, mainQueue});
  cameraFeed = std::make_unique<CameraFeedStatus>(CameraFeedStatus::Dependencies{
      camera.get(), cameraDevices.get(), std::make_shared<camera::PipeWireCameraFeed>(mainQueue), mainQueue});
  preview = std::make_unique<PreviewRenderer>(
      PreviewRenderer::Dependencies{[this]() -> CameraManager& { return *camera; },
                                    [this]() -> ImageManager& { return *images; }, captureDevices, mainQueue, nullptr});

  installer = makeCameraServiceInstaller(settings, mainQueue);
  loginItem = std::make_unique<LoginItemManager>(loginitem::makeXdgAutostartService());
  shortcuts = std::make_unique<KeyboardShortcuts::ShortcutRegistry>(
      settings, KeyboardShortcuts::ShortcutRegistry::sessionBackend());
}

AppObjects::~AppObjects() {
  // The views are gone; the users of each object go before it.
  shortcuts.reset();
  loginItem.reset();
  installer.reset();
  preview.reset();
  cameraFeed.reset();
  videoDevice.reset();
  cameraPermission.reset();
  cameraDevices.reset();
  camera.reset();
  images.reset();
}

}  // namespace tovrelle
