#include "shared/BaseDirs.h"

#include <pwd.h>
#include <unistd.h>
#include <cstdlib>

namespace tovrelle::basedirs {
namespace fs = std::filesystem;
namespace {

std::optional<fs::path> absoluteVariable(const char* name) {
  if (const char* value = std::getenv(name); value && value[0] == '/') return fs::path(value);
  return std::nullopt;
}

Result<fs::path> underHome(const char* variable, const char* fallback) {
  if (auto dir = absoluteVariable(variable)) return *dir;
  auto base = home();
  if (!base) return Unexpected{std::string("no ") + variable + " and " + base.error()};
  return *base / fallback;
}

}  // namespace

Result<fs::path> home() {
  if (auto dir = absoluteVariable("HOME")) return *dir;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') return fs::path(pw->pw_dir);
  return Unexpected{"no home folder (HOME is not an absolute path and the user has none in the password database)"};
}

Result<fs::path> dataHome() { return underHome("XDG_DATA_HOME", ".local/share"); }
Result<fs::path> configHome() { return underHome("XDG_CONFIG_HOME", ".config"); }
Result<fs::path> stateHome() { return underHome("XDG_STATE_HOME", ".local/state"); }
std::optional<fs::path> runtimeDir() { return absoluteVariable("XDG_RUNTIME_DIR"); }

}  // namespace tovrelle::basedirs
