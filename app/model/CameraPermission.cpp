#include "app/model/CameraPermission.h"

#include "app/model/HostServices.h"

namespace tovrelle {

CameraPermission& CameraPermission::shared() {
  static CameraPermission* const instance = new CameraPermission({host::captureDevices(), host::urlOpener()});
  return *instance;
}

CameraPermission::CameraPermission(Dependencies dependencies, QObject* parent)
    : QObject(parent), dependencies_(std::move(dependencies)) {
  if (dependencies_.devices) status_ = dependencies_.devices->authorizationStatus();
  connect(&host::ApplicationEvents::center(), &host::ApplicationEvents::didBecomeActive, this,
          &CameraPermission::refresh);
}

void CameraPermission::refresh() {
  if (!dependencies_.devices) return;
  const Status current = dependencies_.devices->authorizationStatus();
  if (current == status_) return;
  emit objectWillChange();
  emit statusWillChange();
  status_ = current;
  emit statusChanged();
}

void CameraPermission::openCameraPrivacySettings() {
  if (dependencies_.opener) dependencies_.opener->open(urls::kCameraPrivacySettingsURL);
}

}  // namespace tovrelle
