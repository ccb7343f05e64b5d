#pragma once
// The camera's state in the user's words, for every place that shows it: the
// tray panel, its tool tip, the setup guide, Settings and the terminal
// (`tovrelle --camera-status`). Each place has its own length and voice, but
// the words come from here only, so one state never reads two ways.
// Reentrant: pure functions of their arguments.
#include <QString>

#include "app/installer/CameraServiceInstaller.h"

namespace tovrelle {

class VideoDeviceStatus;

namespace status_text {

enum class Place {
  panel,       // the tray panel's line under the camera rows; none while running
  toolTip,     // the tray item's extra tool tip line; only after the user's removal
  setupGuide,  // beside the setup guide's check button
  settings,    // Settings → General, after "Status:"
  terminal,    // the first part of the --camera-status line; its first word is for scripts
};

// What there is to say about the camera service.
struct Situation {
  CameraServiceInstaller::Status status;
  bool removedByUser = false;
  bool removing = false;
  // The setup guide's check: running now, or asked for at least once.
  bool checking = false;
  bool checked = false;

  static Situation of(const CameraServiceInstaller& installer);
};

// The camera service's state for `place`; empty where that place says nothing.
QString service(Place place, const Situation& situation);

// The /dev/video output's state: translated for the windows, plain English
// for the terminal.
QString videoDevice(Place place, const VideoDeviceStatus& video);
// The terminal command the video device's state asks the user to run, or empty.
QString videoDeviceCommand(const VideoDeviceStatus& video);

// `tovrelle --camera-status`'s line: the service, then with `video` the
// /dev/video output ("activated: …; /dev/video: …").
QString terminalLine(const Situation& situation, const VideoDeviceStatus* video = nullptr);

}  // namespace status_text
}  // namespace tovrelle
