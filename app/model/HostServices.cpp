#include "app/model/HostServices.h"

#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "platform/dispatch/QtMainQueue.h"
#include "platform/videodevice/linux/LinuxVideoDevices.h"

namespace tovrelle::host {
namespace {

std::shared_ptr<capture::CaptureDevices>& captureSlot() {
  static std::shared_ptr<capture::CaptureDevices> devices;
  return devices;
}

std::shared_ptr<urls::UrlOpener>& openerSlot() {
  static std::shared_ptr<urls::UrlOpener> opener;
  return opener;
}

std::shared_ptr<videodevice::VideoDevices>& videoSlot() {
  static std::shared_ptr<videodevice::VideoDevices> devices;
  return devices;
}

}  // namespace

std::shared_ptr<capture::CaptureDevices> captureDevices() {
  auto& slot = captureSlot();
  if (!slot) slot = capture::makePipeWireCaptureDevices();
  return slot;
}

void setCaptureDevices(std::shared_ptr<capture::CaptureDevices> devices) { captureSlot() = std::move(devices); }

std::shared_ptr<urls::UrlOpener> urlOpener() {
  auto& slot = openerSlot();
  if (!slot) slot = urls::makeDesktopUrlOpener();
  return slot;
}

void setUrlOpener(std::shared_ptr<urls::UrlOpener> opener) { openerSlot() = std::move(opener); }

std::shared_ptr<videodevice::VideoDevices> videoDevices() {
  auto& slot = videoSlot();
  if (!slot) slot = videodevice::makeLinuxVideoDevices({}, dispatch::QtMainQueue::shared());
  return slot;
}

void setVideoDevices(std::shared_ptr<videodevice::VideoDevices> devices) { videoSlot() = std::move(devices); }

ApplicationEvents& ApplicationEvents::center() {
  static ApplicationEvents* const events = new ApplicationEvents;
  return *events;
}

}  // namespace tovrelle::host
