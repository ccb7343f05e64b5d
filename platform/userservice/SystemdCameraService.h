#pragma once
// The camera service as a systemd user service. The app's install prefix
// holds the copy it ships (InstalledService.h); installing copies it into the
// user's data folder and hands it to the systemd user manager as a service
// that restarts on failure. Where no user manager is reachable it registers
// an XDG autostart entry for the next logins and starts the copy at once,
// detached, as the session would. Either way an install is done only once
// the copy's camera shows in PipeWire, and a copy counts as running only
// while its camera is there.
// Thread-safe: the paths are fixed when it is made, every call's work runs
// in order on a serial queue of its own, and the exits of the copies it
// starts itself are collected by their own waiting threads (ServiceChildren).
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/userservice/CameraService.h"
#include "shared/Result.h"

namespace tovrelle::userservice {

struct ServicePaths {
  std::filesystem::path prefix;           // the app's install prefix
  std::filesystem::path installRoot;      // installed copies, one folder per identifier
  std::filesystem::path unitFolder;       // systemd user unit files
  std::filesystem::path autostartFolder;  // XDG autostart entries
  std::filesystem::path stateFolder;      // the detached service's log file
  // Handed to the service explicitly, so it reads the folder the app writes
  // whatever environment the session or the service manager gives it.
  std::filesystem::path dataFolder;
  std::string cameraName = "Tovrelle";
  // How long a started service has to publish its camera.
  std::chrono::milliseconds cameraWait{15000};

  // $XDG_DATA_HOME/tovrelle/SystemExtensions, $XDG_CONFIG_HOME/systemd/user
  // $XDG_CONFIG_HOME/autostart and $XDG_STATE_HOME/tovrelle, as
  // shared/BaseDirs resolves them; an error when there is no home folder
  // to put the defaults under.
  static Result<ServicePaths> fromEnvironment(std::filesystem::path prefix);
};

// The running program's install prefix: the folder above the one holding the
// executable (<prefix>/bin/tovrelle → <prefix>). TOVRELLE_INSTALL_PREFIX
// overrides it.
std::filesystem::path installPrefix();

// The name of the detached service's log file in ServicePaths::stateFolder.
inline constexpr const char* kServiceLogName = "camera-service.log";

// Work runs in order on a serial queue of its own; answers go to `answers`.
// Without paths (fromEnvironment's error) every call answers with that error.
std::shared_ptr<CameraService> makeSystemdCameraService(Result<ServicePaths> paths,
                                                        std::shared_ptr<dispatch::Queue> answers);

}  // namespace tovrelle::userservice
