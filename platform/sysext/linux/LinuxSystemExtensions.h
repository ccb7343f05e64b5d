#pragma once
// System extensions on a Linux desktop. The app's bundle is its install
// prefix; the extension ships in <prefix>/lib/tovrelle/SystemExtensions.
// Activation copies it into the user's data folder and hands it to the
// systemd user manager as a service that restarts on failure; where no user
// manager is reachable it registers an XDG autostart entry for the next
// logins and starts the copy at once, detached, as the session would.
// Either way it is done only once the copy's camera shows in PipeWire, and
// a copy counts as enabled only while its camera is there.
#include <chrono>
#include <filesystem>
#include <string>
#include <memory>

#include "platform/sysext/SystemExtensions.h"

namespace tovrelle::sysext {

struct LinuxPaths {
  std::filesystem::path appBundle;        // the install prefix
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
  // $XDG_CONFIG_HOME/autostart and $XDG_STATE_HOME/tovrelle (with the usual
  // ~/.local/share, ~/.config and ~/.local/state defaults).
  static LinuxPaths fromEnvironment(std::filesystem::path appBundle);
};

// The running program's bundle: the folder above the one holding the
// executable (<prefix>/bin/tovrelle → <prefix>). TOVRELLE_BUNDLE_PATH
// overrides it.
std::filesystem::path mainBundlePath();

// "<identifier>.service" and "<identifier>.desktop".
std::string serviceUnitName(const std::string& identifier);
std::string autostartEntryName(const std::string& identifier);

// The name of the detached service's log file in LinuxPaths::stateFolder.
inline constexpr const char* kServiceLogName = "camera-service.log";

// Work runs on a serial queue of its own; callbacks go to each request's queue.
std::shared_ptr<ExtensionManager> makeLinuxExtensionManager(LinuxPaths paths);

}  // namespace tovrelle::sysext
