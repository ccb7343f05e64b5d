#pragma once
// Opening addresses the way the desktop does: web pages and folders go to
// the desktop's handler (xdg-open's choice), and the camera access page to
// the desktop's own settings program when one is installed. `open` reports
// whether anything was opened.
// The desktop opener is thread-bound (main thread): it goes through Qt's GUI.
// The other functions are reentrant.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovrelle::urls {

// The desktop's camera access page; an address only this opener knows.
inline constexpr const char* kCameraPrivacySettingsURL = "settings:camera";

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

// The settings program showing the camera access page: the current desktop's
// own program first (XDG_CURRENT_DESKTOP, colon-separated), then any other
// known one that is installed. None when no settings program is installed.
std::optional<Command> cameraSettingsCommand(const ProgramLookup& findProgram, const std::string& currentDesktop);

// The web page "Check for updates" opens (TOVRELLE_UPDATE_PAGE_URL at
// configure time); empty when the build names none or names something that
// is not a web page: then updates come with the system's packages.
std::string updatePage();
// An http(s) address with a host.
bool isWebPage(const std::string& text);

// The desktop opener: the settings program through PATH, web addresses and
// folders through the desktop's URL handler (needs a QGuiApplication).
std::shared_ptr<UrlOpener> makeDesktopUrlOpener();

}  // namespace tovrelle::urls
