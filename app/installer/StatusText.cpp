#include "app/installer/StatusText.h"

#include <QStringList>

#include "app/model/VideoDeviceStatus.h"

namespace tovrelle::status_text {
namespace {

using Case = CameraServiceInstaller::Status::Case;
using State = VideoDeviceStatus::State;

QString failureMessage(const CameraServiceInstaller::Status& status) {
  return status.failure ? status.failure->message : QString();
}

// The panel's and the setup guide's sentence for a service that is not running.
QString notRunningSentence(const CameraServiceInstaller::Status& status) {
  switch (status.kind) {
    case Case::notInstalled:
      //: Camera service status: not installed
      return qtTrId("serviceStatus.idle");
    case Case::starting:
      //: Camera service status: installing
      return qtTrId("serviceStatus.requesting");
    case Case::failed:
      //: Camera service status: failed with message; %1 is the error message
      return qtTrId("serviceStatus.failed").arg(failureMessage(status));
    case Case::running: return {};
  }
  return {};
}

QString panel(const Situation& s) {
  if (s.removedByUser && s.status.is(Case::notInstalled)) {
    //: Popover text while the user's removal of the camera service stands
    return qtTrId("serviceStatus.removed");
  }
  return notRunningSentence(s.status);
}

QString toolTip(const Situation& s) {
  // What the camera shows matters little while no app can see it.
  if (!s.removedByUser || s.status.is(Case::running)) return {};
  //: Second line of the tray icon tool tip after the user removed the camera service
  return qtTrId("trayIcon.toolTip.notInstalled");
}

QString setupGuide(const Situation& s) {
  if (s.checking) {
    //: Onboarding step 2: a check of the camera service is running
    return qtTrId("onboarding.step2.checking");
  }
  switch (s.status.kind) {
    case Case::running:
      //: Onboarding step 2: the camera is published
      return qtTrId("onboarding.step2.available");
    case Case::notInstalled:
      // Before the first look the step speaks for itself.
      return s.checked ? notRunningSentence(s.status) : QString();
    case Case::starting:
    case Case::failed: return notRunningSentence(s.status);
  }
  return {};
}

QString settings(const Situation& s) {
  if (s.removing) {
    //: Camera service status: being removed
    return qtTrId("settings.service.status.removing");
  }
  switch (s.status.kind) {
    case Case::notInstalled:
      if (s.removedByUser) {
        //: Camera service status after the user removed it
        return qtTrId("settings.service.status.removed");
      }
      //: Camera service status: not installed
      return qtTrId("settings.service.status.idle");
    case Case::starting:
      //: Camera service status: installing
      return qtTrId("settings.service.status.requesting");
    case Case::running:
      //: Camera service status: installed and running
      return qtTrId("settings.service.status.activated");
    case Case::failed:
      if (!s.status.failure) return {};
      //: Camera service status: failed; the failure message follows on the next line
      return qtTrId("settings.service.status.failed") + QLatin1Char('\n') + s.status.failure->message;
  }
  return {};
}

// The first word is what scripts read, so those words stay as they are.
QString terminal(const Situation& s) {
  switch (s.status.kind) {
    case Case::running: return QStringLiteral("activated: the Tovrelle camera is published and starts when you log in");
    case Case::notInstalled: return QStringLiteral("idle: the Tovrelle camera service is not installed or not running");
    case Case::starting: return QStringLiteral("requesting: the Tovrelle camera service is being set up");
    case Case::failed:
      return QStringLiteral("failed: %1 (%2)")
          .arg(failureMessage(s.status), s.status.failure ? s.status.failure->diagnostic : QString());
  }
  return {};
}

QString videoDeviceForTerminal(const VideoDeviceStatus& video) {
  const QString device = video.device();
  switch (video.state()) {
    case State::unknown: return QStringLiteral("not checked");
    case State::moduleMissing:
      return QStringLiteral("v4l2loopback is not installed (install the package v4l2loopback-dkms)");
    case State::notLoaded:
      return QStringLiteral("v4l2loopback is installed but not loaded (Settings > General > Load Now, or restart)");
    case State::loading: return QStringLiteral("v4l2loopback is being loaded");
    case State::othersOnly: {
      const QStringList labels = video.otherLabels();
      return (labels.isEmpty() ? QStringLiteral("v4l2loopback is loaded without a Tovrelle device")
                               : QStringLiteral("v4l2loopback was loaded by another program with its own devices "
                                                "(%1), which Tovrelle never uses")
                                     .arg(labels.join(QStringLiteral(", ")))) +
             QStringLiteral("; to add Tovrelle's: %1").arg(video.addDeviceCommand());
    }
    case State::refused:
      return QStringLiteral("%1 is labelled Tovrelle but is not a v4l2loopback device; not used").arg(device);
    case State::waitingForService:
      return QStringLiteral("%1 is there; the camera service does not write to it yet").arg(device);
    case State::serviceTooOld:
      return QStringLiteral("%1 is there; the running camera service does not write to it (reinstall the camera)")
          .arg(device);
    case State::disabled: return QStringLiteral("turned off in the camera service's environment");
    case State::busy:
      return QStringLiteral("%1 is held by another program; only PipeWire apps see Tovrelle").arg(device);
    case State::failed:
      return QStringLiteral("%1 refused the camera's format; only PipeWire apps see Tovrelle").arg(device);
    case State::ready: return QStringLiteral("%1, no app reads it").arg(device);
    case State::reading: return QStringLiteral("%1, an app reads it").arg(device);
  }
  return {};
}

QString videoDeviceForWindows(const VideoDeviceStatus& status) {
  const QString device = status.device();
  switch (status.state()) {
    case State::unknown:
      //: Video device: the first look is running
      return qtTrId("videoDevice.unknown");
    case State::moduleMissing:
      //: Video device: the kernel module is not installed
      return qtTrId("videoDevice.moduleMissing");
    case State::notLoaded:
      //: Video device: the kernel module is installed, not loaded; the Load Now button follows
      return qtTrId("videoDevice.notLoaded");
    case State::loading:
      //: Video device: the administrator prompt or the module load is running
      return qtTrId("videoDevice.loading");
    case State::othersOnly: {
      const QStringList labels = status.otherLabels();
      if (labels.isEmpty()) {
        //: Video device: module loaded with no device labelled Tovrelle and none of others; a terminal command follows
        return qtTrId("videoDevice.noDevice");
      }
      const QString list = labels.join(QStringLiteral(", "));
      if (status.report().canAddDevices) {
        //: Video device: another program's devices only, more can be added; %1 their labels; a terminal command follows
        return qtTrId("videoDevice.othersOnly.add").arg(list);
      }
      //: Video device: another program's devices only; %1 their labels; a terminal command follows
      return qtTrId("videoDevice.othersOnly.reload").arg(list);
    }
    case State::refused:
      //: Video device: a device labelled Tovrelle that v4l2loopback did not make; %1 is its /dev path
      return qtTrId("videoDevice.refused").arg(device);
    case State::waitingForService:
      //: Video device: Tovrelle's device exists, the camera service does not write to it (yet); %1 is its /dev path
      return qtTrId("videoDevice.waitingForService").arg(device);
    case State::serviceTooOld:
      //: Video device: the running camera service predates the /dev/video output; %1 is the /dev path
      return qtTrId("videoDevice.serviceTooOld").arg(device);
    case State::disabled:
      //: Video device: the camera service's /dev/video output is turned off
      return qtTrId("videoDevice.disabled");
    case State::busy:
      //: Video device: another program writes to Tovrelle's device; %1 is its /dev path
      return qtTrId("videoDevice.busy").arg(device);
    case State::failed:
      //: Video device: the device refused the camera's format or buffers; %1 is its /dev path
      return qtTrId("videoDevice.failed").arg(device);
    case State::ready:
      //: Video device: streaming, no app reads it; %1 is its /dev path
      return qtTrId("videoDevice.ready").arg(device);
    case State::reading:
      //: Video device: streaming and an app reads it; %1 is its /dev path
      return qtTrId("videoDevice.reading").arg(device);
  }
  return {};
}

}  // namespace

Situation Situation::of(const CameraServiceInstaller& installer) {
  Situation s;
  s.status = installer.status();
  s.removedByUser = installer.isRemovedByUser();
  s.removing = installer.isRemoving();
  return s;
}

QString service(Place place, const Situation& situation) {
  switch (place) {
    case Place::panel: return panel(situation);
    case Place::toolTip: return toolTip(situation);
    case Place::setupGuide: return setupGuide(situation);
    case Place::settings: return settings(situation);
    case Place::terminal: return terminal(situation);
  }
  return {};
}

QString videoDevice(Place place, const VideoDeviceStatus& video) {
  return place == Place::terminal ? videoDeviceForTerminal(video) : videoDeviceForWindows(video);
}

QString videoDeviceCommand(const VideoDeviceStatus& video) {
  return video.state() == State::othersOnly ? video.addDeviceCommand() : QString();
}

QString terminalLine(const Situation& situation, const VideoDeviceStatus* video) {
  const QString camera = terminal(situation);
  return video ? camera + QStringLiteral("; /dev/video: ") + videoDeviceForTerminal(*video) : camera;
}

}  // namespace tovrelle::status_text
