#pragma once
// The app's camera authorization as the capture service reports it, kept
// fresh whenever the app comes to the front, and the desktop's camera access
// page where the user changes it.
//
// `status` publishes only real changes: statusWillChange() before,
// statusChanged() after.
//
// Thread-bound (main thread).
#include <QObject>
#include <memory>

#include "app/model/ApplicationEvents.h"
#include "platform/capture/CaptureDevices.h"
#include "platform/urls/UrlOpener.h"

namespace tovrelle {

class CameraPermission : public QObject {
  Q_OBJECT

 public:
  using Status = capture::AuthorizationStatus;

  struct Dependencies {
    std::shared_ptr<capture::CaptureDevices> devices;
    std::shared_ptr<urls::UrlOpener> opener;
    // Refreshes on each of its activations; none: only refresh() does.
    host::ApplicationEvents* events = nullptr;
  };

  // Reads the current status (no notification) and refreshes on every
  // activation of the app (host::ApplicationEvents).
  explicit CameraPermission(Dependencies dependencies, QObject* parent = nullptr);

  Status status() const { return status_; }
  // Denied or restricted: the user must change it in the settings.
  bool isDenied() const { return status_ == Status::denied || status_ == Status::restricted; }

  void openCameraPrivacySettings();

 public slots:
  // Reads the status again; publishes it only when it differs.
  void refresh();

 signals:
  void objectWillChange();
  void statusWillChange();
  void statusChanged();

 private:
  Dependencies dependencies_;
  Status status_ = Status::notDetermined;
};

}  // namespace tovrelle
