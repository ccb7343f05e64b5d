#pragma once
// Ends the camera service once the app that installed it is uninstalled: a
// per-user copy of the service outlives the app's package, and a camera that
// asks users to start an app that no longer exists helps nobody. The app's
// installed path comes from the service's environment (kInstalledAppEnv).
// Thread-safe: it may be made and destroyed on any thread; the check and its
// count live on the queue it is given, where `gone` runs once.
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/dispatch/Dispatch.h"

namespace tovrelle::extension {

class InstalledAppWatch {
 public:
  using Exists = std::function<bool(const std::filesystem::path&)>;

  // Checks `app` every `interval`; a path missing at two checks in a row
  // counts as gone, so a package upgrade replacing it in place does not.
  static std::unique_ptr<InstalledAppWatch> start(std::shared_ptr<dispatch::Queue> queue, std::filesystem::path app,
                                                  std::function<void()> gone,
                                                  dispatch::Duration interval = std::chrono::seconds(1),
                                                  Exists exists = {});
  ~InstalledAppWatch();

  InstalledAppWatch(const InstalledAppWatch&) = delete;
  InstalledAppWatch& operator=(const InstalledAppWatch&) = delete;

  // True where the path is certainly absent; a path we may not look at counts
  // as present.
  static bool pathExists(const std::filesystem::path& path);

 private:
  InstalledAppWatch() = default;
  std::shared_ptr<dispatch::Timer> timer_;
};

}  // namespace tovrelle::extension
