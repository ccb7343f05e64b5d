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

#ifndef TOVRELLE_UPDATE_PAGE_URL
#define TOVRELLE_UPDATE_PAGE_URL ""
#endif

namespace tovrelle::urls {
namespace {

// One desktop's settings program and the arguments that show its camera page.
struct Candidate {
  std::vector<std::string> desktops;  // XDG_CURRENT_DESKTOP names it belongs to
  std::string program;
  std::vector<std::string> arguments;
};

// Desktops without a camera page get their settings program's start page.
const std::vector<Candidate> kCameraSettings{
    {{"GNOME", "Unity", "Budgie"}, "gnome-control-center", {"camera"}},
    {{"KDE"}, "systemsettings", {}},
    {{"XFCE"}, "xfce4-settings-manager", {}},
    {{"X-Cinnamon", "Cinnamon"}, "cinnamon-settings", {}},
    {{"MATE"}, "mate-control-center", {}},
    {{"LXQt"}, "lxqt-config", {}},
};

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
    if (url == kCameraPrivacySettingsURL) {
      const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
      auto command = cameraSettingsCommand(
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

std::optional<Command> cameraSettingsCommand(const ProgramLookup& findProgram, const std::string& currentDesktop) {
  std::vector<const Candidate*> ordered;
  for (const auto& desktop : splitDesktops(currentDesktop))
    for (const auto& c : kCameraSettings)
      if (std::find(c.desktops.begin(), c.desktops.end(), desktop) != c.desktops.end() &&
          std::find(ordered.begin(), ordered.end(), &c) == ordered.end())
        ordered.push_back(&c);
  for (const auto& c : kCameraSettings)
    if (std::find(ordered.begin(), ordered.end(), &c) == ordered.end()) ordered.push_back(&c);
  for (const auto* c : ordered)
    if (auto path = findProgram(c->program)) return Command{*path, c->arguments};
  return std::nullopt;
}

bool isWebPage(const std::string& text) {
  const QUrl page(QString::fromStdString(text), QUrl::StrictMode);
  return !text.empty() && page.isValid() && (page.scheme() == "https" || page.scheme() == "http") &&
         !page.host().isEmpty();
}

std::string updatePage() {
  static const std::string page = isWebPage(TOVRELLE_UPDATE_PAGE_URL) ? TOVRELLE_UPDATE_PAGE_URL : "";
  return page;
}

std::shared_ptr<UrlOpener> makeDesktopUrlOpener() { return std::make_shared<DesktopUrlOpener>(); }

}  // namespace tovrelle::urls
