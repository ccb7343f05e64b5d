#include "platform/loginitem/XdgAutostart.h"

#include "shared/BaseDirs.h"
#include "shared/DesktopEntry.h"
#include "shared/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

namespace tovrelle::loginitem {
namespace fs = std::filesystem;

const char* describe(Status status) {
  switch (status) {
    case Status::notRegistered: return "not registered";
    case Status::enabled: return "enabled";
    case Status::requiresApproval: return "requires approval";
    case Status::notFound: return "not found";
  }
  return "unknown";
}

namespace {

fs::path defaultConfigHome() { return basedirs::configHome().valueOr({}); }

fs::path ownExecutable() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe;
}

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// The keys of the [Desktop Entry] group; nullopt when the file cannot be read.
std::optional<std::map<std::string, std::string>> readDesktopEntry(const fs::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::map<std::string, std::string> keys;
  bool inMainGroup = false;
  std::string line;
  size_t bytes = 0;
  while (std::getline(in, line)) {
    bytes += line.size() + 1;
    if (bytes > 64 * 1024) break;  // an autostart entry is a few hundred bytes
    const std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    if (t.front() == '[') {
      inMainGroup = t == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup) continue;
    const auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    keys.emplace(trim(t.substr(0, eq)), trim(t.substr(eq + 1)));
  }
  if (in.bad()) return std::nullopt;
  return keys;
}

bool isTrue(const std::map<std::string, std::string>& keys, const char* key) {
  auto it = keys.find(key);
  return it != keys.end() && it->second == "true";
}

bool isFalse(const std::map<std::string, std::string>& keys, const char* key) {
  auto it = keys.find(key);
  return it != keys.end() && it->second == "false";
}

bool isExecutableProgram(const std::string& program) {
  if (program.empty()) return false;
  auto runnable = [](const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
  };
  if (program.find('/') != std::string::npos) return runnable(program);
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && runnable(fs::path(dir) / program)) return true;
  return false;
}

}  // namespace

std::string autostartEntry(const fs::path& executable) {
  std::ostringstream s;
  s << "[Desktop Entry]\n"
    << "Type=Application\n"
    << "Name=Tovrelle\n"
    << "Comment=Virtual camera\n"
    << "Exec=" << desktop_entry::execArgument(executable.string())
    << "\n"
    // Once the package is removed the session skips the entry instead of
    // trying to start a missing program at every login.
    << "TryExec=" << desktop_entry::stringValue(executable.string()) << "\n"
    << "Icon=velkari.tovrelle\n"
    << "Terminal=false\n"
    << "X-GNOME-Autostart-enabled=true\n";
  return s.str();
}

XdgAutostartService::XdgAutostartService(XdgAutostartOptions options) {
  fs::path configHome = options.configHome.empty() ? defaultConfigHome() : options.configHome;
  entryPath_ = configHome / "autostart" / kAutostartFileName;
  executable_ = options.executable.empty() ? ownExecutable() : options.executable;
}

Status XdgAutostartService::status() {
  std::error_code ec;
  auto st = fs::symlink_status(entryPath_, ec);
  if (ec || !fs::exists(st)) return Status::notRegistered;
  auto keys = readDesktopEntry(entryPath_);
  if (!keys) return Status::notFound;
  // Hidden=true is how the autostart standard marks an entry as deleted.
  if (isTrue(*keys, "Hidden")) return Status::notRegistered;
  // Switched off in the desktop's own start-up settings: only the user can allow it there.
  if (isFalse(*keys, "X-GNOME-Autostart-enabled")) return Status::requiresApproval;
  auto exec = keys->find("Exec");
  if (exec == keys->end() || !isExecutableProgram(desktop_entry::execProgram(exec->second))) return Status::notFound;
  return Status::enabled;
}

Result<void> XdgAutostartService::registerItem() {
  if (entryPath_.parent_path().empty() || entryPath_.parent_path() == "autostart")
    return Unexpected{"no config folder: neither XDG_CONFIG_HOME nor HOME is set"};
  if (executable_.empty()) return Unexpected{"cannot tell which program to start at login"};
  const fs::path folder = entryPath_.parent_path();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return Unexpected{"cannot create " + folder.string() + ": " + ec.message()};

  return writeFileAtomically(entryPath_, autostartEntry(executable_), 0644);
}

Result<void> XdgAutostartService::unregisterItem() {
  std::error_code ec;
  fs::remove(entryPath_, ec);
  if (ec) return Unexpected{"cannot remove " + entryPath_.string() + ": " + ec.message()};
  return {};
}

std::shared_ptr<LoginItemService> makeXdgAutostartService(XdgAutostartOptions options) {
  return std::make_shared<XdgAutostartService>(std::move(options));
}

}  // namespace tovrelle::loginitem
