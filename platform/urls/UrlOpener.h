#pragma once
// Opening addresses the way the desktop does. Web addresses go to the
// default browser; the system-settings addresses the app knows
// ("x-apple.systempreferences:…") are mapped onto the desktop's own settings
// program when one is installed. `open` reports whether anything was opened.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovrelle::urls {

inline constexpr const char* kCameraPrivacySettingsURL =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Camera";
inline constexpr const char* kLoginItemsExtensionSettingsURL =
    "x-apple.systempreferences:com.apple.LoginItems-Settings.extension";
inline constexpr const char* kSecurityExtensionsSettingsURL =
    "x-apple.systempreferences:com.apple.preference.security?Extensions";

class UrlOpener {
 public:
  virtual ~UrlOpener() = default;
  virtual bool open(const std::string& url) = 0;
};

// A program and its arguments.
struct Command {
  std::string program;  // as found on PATH (absolute)
  std::vector<std::string> arguments;
  friend bool operator==(const Command&, const Command&) = default;
};

// Finds a program on PATH; none when it is not installed.
using ProgramLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The settings program and page for a system-settings address: the current
// desktop's own program first (XDG_CURRENT_DESKTOP, colon-separated), then
// any other known one that is installed. None for addresses it does not know
// or when no settings program is installed.
std::optional<Command> settingsCommandFor(const std::string& url, const ProgramLookup& findProgram,
                                          const std::string& currentDesktop);

// True for the system-settings scheme.
bool isSystemSettingsURL(const std::string& url);

// The desktop opener: settings programs through PATH, web and mail addresses
// through the desktop's URL handler (needs a QGuiApplication).
std::shared_ptr<UrlOpener> makeDesktopUrlOpener();

}  // namespace tovrelle::urls
