#pragma once
// A Wayland desktop for integration tests, inside a PrivateSession: weston's
// headless compositor, the desktop portal, and a global-shortcut backend of
// the test's own behind it (shortcut_portal_backend.py). Stopped with the
// object.
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Services.h"

namespace tovrelle::test {

struct DesktopPortalOptions {
  // "bind", "refuse" (BindShortcuts is refused) or "silent" (no answer at all).
  std::string backendMode = "bind";
  bool compositor = true;
};

class DesktopPortal {
 public:
  // Throws std::runtime_error when a part does not come up.
  DesktopPortal(const PrivateSession& session, DesktopPortalOptions options = {});
  ~DesktopPortal();

  // What a program needs to run in this desktop (Qt on Wayland included).
  std::map<std::string, std::string> appEnv() const;

  // The shortcut lists of every BindShortcuts call so far, one JSON line each.
  std::vector<std::string> bindCalls() const;
  // Makes the backend report a press ("Activated") or release ("Deactivated").
  bool emitShortcut(const std::string& kind, const std::string& id) const;
  // The desktop ends the app's shortcut session.
  bool closeSession() const;
  // Switches the backend's answers (see DesktopPortalOptions::backendMode).
  bool setBackendMode(const std::string& mode) const;

  static constexpr const char* kBackendName = "org.freedesktop.impl.portal.desktop.tovrelletest";

 private:
  bool call(const std::vector<std::string>& dbusSendArgs) const;
  const PrivateSession& session_;
  std::string waylandDisplay_;
  std::filesystem::path record_;
  std::unique_ptr<Process> compositor_;
  std::unique_ptr<Process> backend_;
  std::unique_ptr<Process> portal_;
};

}  // namespace tovrelle::test
