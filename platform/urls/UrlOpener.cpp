#include "platform/urls/UrlOpener.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>
#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace tovrelle::urls {
namespace {

constexpr const char* kSettingsScheme = "x-apple.systempreferences:";

// One desktop's settings program for one page.
struct Candidate {
  std::vector<std::string> desktops;  // XDG_CURRENT_DESKTOP names it belongs to
  std::string program;
  std::vector<std::string> arguments;
};

const std::vector<std::string> kGnome{"GNOME", "Unity", "Budgie"};
const std::vector<std::string> kKde{"KDE"};
const std::vector<std::string> kXfce{"XFCE"};
const std::vector<std::string> kCinnamon{"X-Cinnamon", "Cinnamon"};
const std::vector<std::string> kMate{"MATE"};
const std::vector<std::string> kLxqt{"LXQt"};

// Where each address leads, by desktop. Desktops without a matching page get
// their settings program's start page.
const std::vector<Candidate>* candidatesFor(const std::string& url) {
  static const std::vector<Candidate> cameraPrivacy{
      {kGnome, "gnome-control-center", {"camera"}},
      {kKde, "systemsettings", {}},
      {kXfce, "xfce4-settings-manager", {}},
      {kCinnamon, "cinnamon-settings", {}},
      {kMate, "mate-control-center", {}},
      {kLxqt, "lxqt-config", {}},
  };
  // Login items and background services: where the desktop lists what starts with the session.
  static const std::vector<Candidate> loginItemsExtensions{
      {kGnome, "gnome-control-center", {"applications"}},
      {kKde, "systemsettings", {"kcm_autostart"}},
      {kXfce, "xfce4-session-settings", {}},
      {kCinnamon, "cinnamon-settings", {"startup"}},
      {kMate, "mate-session-properties", {}},
      {kLxqt, "lxqt-config-session", {}},
  };
  static const std::vector<Candidate> securityExtensions{
      {kGnome, "gnome-control-center", {"privacy"}},
      {kKde, "systemsettings", {}},
      {kXfce, "xfce4-settings-manager", {}},
      {kCinnamon, "cinnamon-settings", {}},
      {kMate, "mate-control-center", {}},
      {kLxqt, "lxqt-config", {}},
  };
  if (url == kCameraPrivacySettingsURL) return &cameraPrivacy;
  if (url == kLoginItemsExtensionSettingsURL) return &loginItemsExtensions;
  if (url == kSecurityExtensionsSettingsURL) return &securityExtensions;
  return nullptr;
}

std::vector<std::string> splitDesktops(const std::string& value) {
  std::vector<std::string> out;
  std::stringstream s(value);
  std::string item;
  while (std::getline(s, item, ':'))
    if (!item.empty()) out.push_back(item);
  return out;
}

class DesktopUrlOpener final : public UrlOpener {
 public:
  bool open(const std::string& url) override {
    if (isSystemSettingsURL(url)) {
      const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
      auto command = settingsCommandFor(
          url,
          [](const std::string& name) -> std::optional<std::string> {
            QString path = QStandardPaths::findExecutable(QString::fromStdString(name));
            if (path.isEmpty()) return std::nullopt;
            return path.toStdString();
          },
          desktop ? desktop : "");
      if (!command) return false;
      QStringList arguments;
      for (auto& a : command->arguments) arguments << QString::fromStdString(a);
      return QProcess::startDetached(QString::fromStdString(command->program), arguments);
    }
    // The desktop's URL handlers live in the GUI platform plugin.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return false;
    QUrl address(QString::fromStdString(url), QUrl::StrictMode);
    if (!address.isValid() || address.scheme().isEmpty()) return false;
    return QDesktopServices::openUrl(address);
  }
};

}  // namespace

bool isSystemSettingsURL(const std::string& url) { return url.rfind(kSettingsScheme, 0) == 0; }

std::optional<Command> settingsCommandFor(const std::string& url, const ProgramLookup& findProgram,
                                          const std::string& currentDesktop) {
  const auto* candidates = candidatesFor(url);
  if (!candidates) return std::nullopt;
  std::vector<const Candidate*> ordered;
  for (const auto& desktop : splitDesktops(currentDesktop))
    for (const auto& c : *candidates)
      if (std::find(c.desktops.begin(), c.desktops.end(), desktop) != c.desktops.end() &&
          std::find(ordered.begin(), ordered.end(), &c) == ordered.end())
        ordered.push_back(&c);
  for (const auto& c : *candidates)
    if (std::find(ordered.begin(), ordered.end(), &c) == ordered.end()) ordered.push_back(&c);
  for (const auto* c : ordered)
    if (auto path = findProgram(c->program)) return Command{*path, c->arguments};
  return std::nullopt;
}

std::shared_ptr<UrlOpener> makeDesktopUrlOpener() { return std::make_shared<DesktopUrlOpener>(); }

}  // namespace tovrelle::urls
