#pragma once
// The platform services the host's model objects share, built from the real
// backends on first use. The program's start (or a test) may install others
// before any model object asks for them.
#include <QObject>
#include <memory>

#include "platform/capture/CaptureDevices.h"
#include "platform/urls/UrlOpener.h"
#include "platform/videodevice/VideoDevices.h"

namespace tovrelle::host {

// The process's capture service (PipeWire).
std::shared_ptr<capture::CaptureDevices> captureDevices();
void setCaptureDevices(std::shared_ptr<capture::CaptureDevices> devices);

// The process's address opener (browser and the desktop's settings program).
std::shared_ptr<urls::UrlOpener> urlOpener();
void setUrlOpener(std::shared_ptr<urls::UrlOpener> opener);

// The process's video device service (sysfs, the camera's node, pkexec).
std::shared_ptr<videodevice::VideoDevices> videoDevices();
void setVideoDevices(std::shared_ptr<videodevice::VideoDevices> devices);

// Application-wide notifications, posted on the main thread by the shell.
class ApplicationEvents : public QObject {
  Q_OBJECT

 public:
  static ApplicationEvents& center();
  // The app came to the front (one of its windows became active).
  void postDidBecomeActive() { emit didBecomeActive(); }

 signals:
  void didBecomeActive();
};

}  // namespace tovrelle::host
