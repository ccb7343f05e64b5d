#pragma once
// System extensions on a Linux desktop. The app's bundle is its install
// prefix; the extension ships in <prefix>/lib/tovrelle/SystemExtensions.
// Activation copies it into the user's data folder and hands it to the
// systemd user manager as a service that restarts on failure; where no user
// manager is reachable it registers an XDG autostart entry instead, so the
// desktop session starts it at the next login.
#include <filesystem>
#include <memory>

#include "platform/sysext/SystemExtensions.h"

namespace tovrelle::sysext {

struct LinuxPaths {
  std::filesystem::path appBundle;        // the install prefix
  std::filesystem::path installRoot;      // installed copies, one folder per identifier
  std::filesystem::path unitFolder;       // systemd user unit files
  std::filesystem::path autostartFolder;  // XDG autostart entries

  // $XDG_DATA_HOME/tovrelle/SystemExtensions, $XDG_CONFIG_HOME/systemd/user
  // and $XDG_CONFIG_HOME/autostart (with the usual ~/.local/share and
  // ~/.config defaults).
  static LinuxPaths fromEnvironment(std::filesystem::path appBundle);
};

// The running program's bundle: the folder above the one holding the
// executable (<prefix>/bin/tovrelle → <prefix>). TOVRELLE_BUNDLE_PATH
// overrides it.
std::filesystem::path mainBundlePath();

// "<identifier>.service" and "<identifier>.desktop".
std::string serviceUnitName(const std::string& identifier);
std::string autostartEntryName(const std::string& identifier);

// Work runs on a serial queue of its own; callbacks go to each request's queue.
std::shared_ptr<ExtensionManager> makeLinuxExtensionManager(LinuxPaths paths);

}  // namespace tovrelle::sysext
