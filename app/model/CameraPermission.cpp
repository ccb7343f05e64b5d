#include "app/model/CameraPermission.h"

#include "app/model/ApplicationEvents.h"

namespace tovrelle {

CameraPermission::CameraPermission(Dependencies dependencies, QObject* parent)
    : QObject(parent), dependencies_(std::move(dependencies)) {
  if (dependencies_.devices) status_ = dependencies_.devices->authorizationStatus();
  if (dependencies_.events)
    connect(dependencies_.events, &host::ApplicationEvents::didBecomeActive, this, &CameraPermission::refresh);
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
