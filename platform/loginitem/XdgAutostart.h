#pragma once
// Login items as XDG autostart entries: a desktop entry named
// "velkari.tovrelle.desktop" in $XDG_CONFIG_HOME/autostart (~/.config/autostart
// when unset), which session managers start at login.
// Thread-bound (main thread), like the login-item service it is.
#include <filesystem>
#include <memory>
#include <string>

#include "platform/loginitem/LoginItemService.h"

namespace tovrelle::loginitem {

inline constexpr const char* kAutostartFileName = "velkari.tovrelle.desktop";

struct XdgAutostartOptions {
  // The config folder; empty: $XDG_CONFIG_HOME, else $HOME/.config.
  std::filesystem::path configHome;
  // The program the entry starts; empty: this process's own executable.
  std::filesystem::path executable;
};

class XdgAutostartService final : public LoginItemService {
 public:
  explicit XdgAutostartService(XdgAutostartOptions options = {});

  Status status() override;
  Result<void> registerItem() override;
  Result<void> unregisterItem() override;

  const std::filesystem::path& entryPath() const { return entryPath_; }
  const std::filesystem::path& executable() const { return executable_; }

 private:
  std::filesystem::path entryPath_;
  std::filesystem::path executable_;
};

// The text of the autostart entry for `executable`.
std::string autostartEntry(const std::filesystem::path& executable);

std::shared_ptr<LoginItemService> makeXdgAutostartService(XdgAutostartOptions options = {});

}  // namespace tovrelle::loginitem
