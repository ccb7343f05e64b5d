#pragma once
// `tovrelle --camera-status | --install-camera | --remove-camera`: the camera
// service from a terminal. A running Tovrelle does the work (it owns the
// status the tray shows); without one, this process does it and leaves.
// Each prints one line and exits 0 only when the camera is where it was
// asked to be. Thread-bound (main thread), like the installer it drives.
#include <QString>
#include <functional>
#include <optional>

#include "app/installer/CameraServiceInstaller.h"
#include "app/model/VideoDeviceStatus.h"

class QCommandLineParser;

namespace tovrelle {

class SingleInstance;

namespace camera_service_command {

enum class Command { status, install, remove };

void addOptions(QCommandLineParser& parser);
std::optional<Command> requested(const QCommandLineParser& parser);

// Runs `command` on `installer` and calls `finished` with the exit code and
// the line to print, on the main thread, once it is done. The status also
// looks at the /dev/video output through `video`, when there is one.
void run(Command command, CameraServiceInstaller& installer, VideoDeviceStatus* video,
         std::function<void(int exitCode, const QString& line)> finished);

// In a launch that asked for `command`: hands it to the running instance
// through `instance` or, when none runs, runs it here on the event loop, on
// the installer and video device `prepareHere` builds.
// Returns the process's exit code.
struct LocalObjects {
  CameraServiceInstaller* installer = nullptr;
  VideoDeviceStatus* video = nullptr;
};
int runFromCommandLine(Command command, SingleInstance& instance, const std::function<LocalObjects()>& prepareHere);

// Answers the commands other launches hand to this (running) instance.
void serve(SingleInstance& instance, CameraServiceInstaller& installer, VideoDeviceStatus& video);

}  // namespace camera_service_command
}  // namespace tovrelle
