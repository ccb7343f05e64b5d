#include "tests/support/DesktopPortal.h"

#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <thread>

#ifndef TOVRELLE_SOURCE_DIR
#define TOVRELLE_SOURCE_DIR "."
#endif

namespace tovrelle::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kDesktopName = "tovrelletest";

void waitFor(const std::function<bool()>& ready, const std::string& what) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error(what + " did not start");
    std::this_thread::sleep_for(50ms);
  }
}

}  // namespace

DesktopPortal::DesktopPortal(const PrivateSession& session, DesktopPortalOptions options) : session_(session) {
  const fs::path runtime = session.runtimeDir();
  if (options.compositor) {
    waylandDisplay_ = "wayland-tovrelle";
    // The kiosk shell needs no shell client of its own.
    compositor_ = session.spawn({"weston", "--backend=headless-backend.so", "--shell=kiosk-shell.so",
                                 "--socket=" + waylandDisplay_, "--idle-time=0", "--no-config"},
                                {}, "weston");
    waitFor([&] { return fs::exists(runtime / waylandDisplay_); }, "weston");
  }

  record_ = runtime / "bind-calls.jsonl";
  backend_ =
      session.spawn({"/usr/bin/python3", std::string(TOVRELLE_SOURCE_DIR) + "/tests/support/shortcut_portal_backend.py",
                     kBackendName, record_.string(), options.backendMode},
                    {}, "shortcut-backend");
  if (!backend_->waitForLog("ready", 20s))
    throw std::runtime_error("shortcut backend did not start: " + backend_->log());

  // The portal finds backends through .portal files naming their interfaces
  // and the desktops they serve (matched against XDG_CURRENT_DESKTOP).
  const fs::path portals = session.makeFolder("portals");
  std::ofstream(portals / "tovrelletest.portal")
      << "[portal]\nDBusName=" << kBackendName << "\nInterfaces=org.freedesktop.impl.portal.GlobalShortcuts;\n"
      << "UseIn=" << kDesktopName << "\n";
  portal_ = session.spawn({"/usr/libexec/xdg-desktop-portal", "--replace", "--verbose"},
                          {{"XDG_DESKTOP_PORTAL_DIR", portals.string()}, {"XDG_CURRENT_DESKTOP", kDesktopName}},
                          "xdg-desktop-portal");
  waitFor(
      [&] {
        return call({"--dest=org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                     "org.freedesktop.DBus.Peer.Ping"});
      },
      "xdg-desktop-portal");
}

DesktopPortal::~DesktopPortal() {
  if (portal_) portal_->stop();
  if (backend_) backend_->stop();
  if (compositor_) compositor_->stop();
}

std::map<std::string, std::string> DesktopPortal::appEnv() const {
  std::map<std::string, std::string> env{{"XDG_CURRENT_DESKTOP", kDesktopName}};
  if (!waylandDisplay_.empty()) {
    env["WAYLAND_DISPLAY"] = waylandDisplay_;
    env["QT_QPA_PLATFORM"] = "wayland";
  }
  return env;
}

std::vector<std::string> DesktopPortal::bindCalls() const {
  std::vector<std::string> lines;
  std::ifstream in(record_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool DesktopPortal::call(const std::vector<std::string>& dbusSendArgs) const {
  std::vector<std::string> argv{"dbus-send", "--session", "--print-reply", "--reply-timeout=5000"};
  argv.insert(argv.end(), dbusSendArgs.begin(), dbusSendArgs.end());
  auto process = session_.spawn(argv, {}, "dbus-send");
  const int status = process->wait(10s);
  if (status == -1) process->stop(9);
  return status == 0 && process->log().find("boolean false") == std::string::npos;
}

bool DesktopPortal::emitShortcut(const std::string& kind, const std::string& id) const {
  return call({std::string("--dest=") + kBackendName, "/org/freedesktop/portal/desktop",
               "org.tovrelle.TestDesktop.Emit", "string:" + kind, "string:" + id});
}

bool DesktopPortal::closeSession() const {
  return call({std::string("--dest=") + kBackendName, "/org/freedesktop/portal/desktop",
               "org.tovrelle.TestDesktop.CloseSession"});
}

bool DesktopPortal::setBackendMode(const std::string& mode) const {
  return call({std::string("--dest=") + kBackendName, "/org/freedesktop/portal/desktop",
               "org.tovrelle.TestDesktop.SetMode", "string:" + mode});
}

}  // namespace tovrelle::test
