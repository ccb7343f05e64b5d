#include "platform/sysext/linux/LinuxSystemExtensions.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log/Log.h"
#include "platform/sysext/ExtensionBundle.h"
#include "platform/sysext/linux/SystemdUserManager.h"
#include "shared/Files.h"

namespace tovrelle::sysext {
namespace fs = std::filesystem;

namespace {

constexpr const char* kCurrentLink = "current";
constexpr const char* kRetiredPrefix = ".removing-";
constexpr const char* kTempPrefix = ".tmp-";

fs::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

fs::path xdgFolder(const char* variable, const char* fallback) {
  if (const char* value = std::getenv(variable); value && *value == '/') return value;
  return homeFolder() / fallback;
}

bool hasControlCharacters(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

std::string errnoText() { return std::strerror(errno); }

// One installed copy found in the install folder.
struct Copy {
  std::string name;  // folder name
  ExtensionVersion version;
  bool retired = false;
};

std::optional<std::string> currentCopyName(const fs::path& root) {
  std::error_code ec;
  auto target = fs::read_symlink(root / kCurrentLink, ec);
  if (ec || target.empty() || target.has_parent_path()) return std::nullopt;
  return target.string();
}

std::vector<Copy> listCopies(const fs::path& root) {
  std::vector<Copy> copies;
  std::error_code ec;
  for (auto it = fs::directory_iterator(root, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code typeError;
    if (!it->is_directory(typeError) || it->is_symlink(typeError)) continue;
    const bool retired = name.rfind(kRetiredPrefix, 0) == 0;
    const bool copy = name.size() > std::strlen(kBundleExtension) && name.front() != '.' &&
                      name.ends_with(kBundleExtension);
    if (!retired && !copy) continue;
    auto version = readExtensionVersion(it->path());
    if (!version) continue;  // a damaged or half-removed folder is not a copy
    copies.push_back(Copy{name, *version, retired});
  }
  std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) { return a.name < b.name; });
  return copies;
}

// Writes `text` to `path` through a temporary file in the same folder, so
// readers see the old file or the new one, never a part.
bool writeFileAtomically(const fs::path& path, const std::string& text, std::string& problem) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  return tovrelle::writeFileAtomically(path, text, &problem, 0644);
}

// Points root/current at `name` by renaming a fresh link over it.
bool pointCurrentAt(const fs::path& root, const std::optional<std::string>& name, std::string& problem) {
  const fs::path link = root / kCurrentLink;
  if (!name) {
    std::error_code ec;
    fs::remove(link, ec);
    return true;
  }
  const fs::path temp = root / (std::string(kTempPrefix) + "current-" + std::to_string(::getpid()));
  ::unlink(temp.c_str());
  if (::symlink(name->c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
    problem = "cannot switch " + link.string() + " to " + *name + ": " + errnoText();
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// Moves a copy out of the way, then deletes it. A copy that cannot be
// deleted stays behind as retired and is reported as uninstalling.
void retire(const fs::path& root, const std::string& name) {
  static std::atomic<unsigned> counter{0};
  const fs::path from = root / name;
  const fs::path to = root / (kRetiredPrefix + name + "-" + std::to_string(::getpid()) + "-" +
                              std::to_string(counter.fetch_add(1)));
  std::error_code ec;
  fs::rename(from, to, ec);
  if (ec) {
    log::processLog("LinuxSystemExtensions: cannot move %s aside: %s", from.c_str(), ec.message().c_str());
    return;
  }
  fs::remove_all(to, ec);
  if (ec) log::processLog("LinuxSystemExtensions: cannot remove %s: %s", to.c_str(), ec.message().c_str());
}

void removeLeftovers(const fs::path& root) {
  std::error_code ec;
  std::vector<fs::path> doomed;
  for (auto it = fs::directory_iterator(root, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(kTempPrefix, 0) == 0 || name.rfind(kRetiredPrefix, 0) == 0) doomed.push_back(it->path());
  }
  for (auto& path : doomed) fs::remove_all(path, ec);
}

// systemd unit files: a quoted word, with specifiers and variables escaped.
std::string unitQuoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    if (c == '$') out += '$';
    out += c;
  }
  return out + "\"";
}

// systemd unit files: a path setting (conditions), taken whole, specifiers escaped.
std::string unitPath(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

// Desktop entries: a quoted Exec argument, then the string escaping of the key.
std::string desktopExecQuoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': case '`': case '$': out += "\\\\"; out += c; break;
      case '\\': out += "\\\\\\\\"; break;
      case '%': out += "%%"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

// Whether any process of ours runs `binary` (compared by its real path).
bool isRunning(const fs::path& binary) {
  std::error_code ec;
  const fs::path wanted = fs::canonical(binary, ec);
  if (ec) return false;
  for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string pid = it->path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    std::string exe = fs::read_symlink(it->path() / "exe", linkError).string();
    if (linkError) continue;
    if (exe.ends_with(" (deleted)")) continue;
    if (exe == wanted.string()) return true;
  }
  return false;
}

class LinuxExtensionManager final : public ExtensionManager,
                                    public std::enable_shared_from_this<LinuxExtensionManager> {
 public:
  explicit LinuxExtensionManager(LinuxPaths paths)
      : paths_(std::move(paths)), worker_(dispatch::makeSerialQueue("ossel.tovrelle.sysext")) {}

  void submitRequest(std::shared_ptr<Request> request) override {
    if (!request) return;
    uint64_t sequence = 0;
    if (request->kind() == Request::Kind::activation) {
      std::lock_guard lock(mutex_);
      sequence = ++sequence_;
      latestActivation_[request->identifier()] = sequence;
    }
    auto self = shared_from_this();
    worker_->async([self, request, sequence] {
      if (request->kind() == Request::Kind::activation) {
        self->activate(request, sequence);
      } else {
        self->reportProperties(request);
      }
    });
  }

 private:
  fs::path rootFor(const std::string& identifier) const { return paths_.installRoot / identifier; }

  bool superseded(const Request& request, uint64_t sequence) {
    std::lock_guard lock(mutex_);
    return latestActivation_[request.identifier()] != sequence;
  }

  static void deliver(const std::shared_ptr<Request>& request, std::function<void(RequestDelegate&, Request&)> call) {
    request->queue()->async([request, call = std::move(call)] {
      if (auto delegate = request->delegate()) call(*delegate, *request);
    });
  }

  static void fail(const std::shared_ptr<Request>& request, Error error) {
    log::processLog("LinuxSystemExtensions: request for %s failed (#%d): %s", request->identifier().c_str(),
                    error.code, error.localizedDescription.c_str());
    deliver(request, [error](RequestDelegate& d, Request& r) { d.requestDidFailWithError(r, error); });
  }

  static void finish(const std::shared_ptr<Request>& request, int result) {
    deliver(request, [result](RequestDelegate& d, Request& r) { d.requestDidFinishWithResult(r, result); });
  }

  static Error managerError(const ManagerCall& call) {
    return makeError(call.outcome == ManagerCall::Outcome::refused ? kErrorForbiddenBySystemPolicy : kErrorUnknown,
                     call.description);
  }

  // ---- properties

  void reportProperties(const std::shared_ptr<Request>& request) {
    const std::string& identifier = request->identifier();
    const fs::path root = rootFor(identifier);
    const auto copies = listCopies(root);
    const auto current = currentCopyName(root);

    bool currentEnabled = false;
    bool currentAwaiting = false;
    if (current) {
      std::string why;
      if (auto manager = SystemdUserManager::connect(why)) {
        auto state = manager->unitFileState(serviceUnitName(identifier));
        if (!state.ok()) return fail(request, managerError(state));
        currentEnabled = state.value == "enabled" || state.value == "enabled-runtime";
      } else if (fs::exists(paths_.autostartFolder / autostartEntryName(identifier))) {
        // Registered for the next login: enabled once the session runs it.
        const auto info = validateCurrent(root, identifier, *current);
        currentEnabled = info && isRunning(root / *current / info->executable);
        currentAwaiting = !currentEnabled;
      }
    }

    std::vector<ExtensionProperties> properties;
    for (const auto& copy : copies) {
      ExtensionProperties p;
      p.bundleIdentifier = identifier;
      p.bundleVersion = copy.version.bundleVersion;
      p.bundleShortVersion = copy.version.shortVersion;
      p.isUninstalling = copy.retired;
      const bool isCurrent = !copy.retired && current && *current == copy.name;
      p.isEnabled = isCurrent && currentEnabled;
      p.isAwaitingUserApproval = isCurrent && currentAwaiting;
      properties.push_back(std::move(p));
    }
    deliver(request, [properties](RequestDelegate& d, Request& r) { d.requestFoundProperties(r, properties); });
    finish(request, kRequestCompleted);
  }

  static std::optional<ExtensionInfo> validateCurrent(const fs::path& root, const std::string& identifier,
                                                      const std::string& name) {
    int code = 0;
    std::string problem;
    return validateExtensionBundle(root / name, identifier, code, problem);
  }

  // ---- activation

  void activate(const std::shared_ptr<Request>& request, uint64_t sequence) {
    if (superseded(*request, sequence)) return fail(request, makeError(kErrorRequestSuperseded));
    const std::string& identifier = request->identifier();
    const fs::path embedded = embeddedExtensionPath(paths_.appBundle, identifier);
    int code = 0;
    std::string problem;
    auto info = validateExtensionBundle(embedded, identifier, code, problem);
    if (!info) return fail(request, makeError(code, problem));

    const fs::path root = rootFor(identifier);
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec || hasControlCharacters(root.string())) {
      return fail(request, makeError(kErrorUnknown, "cannot use the install folder " + root.string() + ": " +
                                                        (ec ? ec.message() : "its path holds control characters")));
    }
    removeLeftovers(root);

    std::optional<Copy> installed;
    if (auto name = currentCopyName(root)) {
      if (auto version = readExtensionVersion(root / *name)) installed = Copy{*name, *version, false};
    }
    if (installed && installed->version != info->version) {
      ExtensionProperties existing{identifier, installed->version.bundleVersion, installed->version.shortVersion,
                                   true, false, false};
      ExtensionProperties replacement{identifier, info->version.bundleVersion, info->version.shortVersion,
                                      false, false, false};
      auto self = shared_from_this();
      request->queue()->async([self, request, sequence, existing, replacement, info = *info] {
        auto delegate = request->delegate();
        auto action = delegate ? delegate->actionForReplacingExtension(*request, existing, replacement)
                               : ReplacementAction::replace;
        self->worker_->async([self, request, sequence, action, info] { self->install(request, sequence, info, action); });
      });
      return;
    }
    install(request, sequence, *info, ReplacementAction::replace);
  }

  void install(const std::shared_ptr<Request>& request, uint64_t sequence, const ExtensionInfo& info,
               ReplacementAction action) {
    if (superseded(*request, sequence)) return fail(request, makeError(kErrorRequestSuperseded));
    if (action != ReplacementAction::replace)
      return fail(request, makeError(kErrorRequestCanceled, "replacing the installed extension was declined"));

    const std::string& identifier = request->identifier();
    const fs::path embedded = embeddedExtensionPath(paths_.appBundle, identifier);
    const fs::path root = rootFor(identifier);

    // Copy into a private folder first; only a complete, checked copy gets
    // its final name.
    std::string temp = (root / (std::string(kTempPrefix) + "XXXXXX")).string();
    if (!::mkdtemp(temp.data()))
      return fail(request, makeError(kErrorUnknown, "cannot write to the install folder " + root.string() + ": " +
                                                        errnoText()));
    std::error_code ec;
    fs::copy(embedded, temp, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    if (ec) {
      fs::remove_all(temp, ec);
      return fail(request, makeError(kErrorUnknown, "copying the extension into " + root.string() +
                                                        " failed: " + ec.message()));
    }
    int code = 0;
    std::string problem;
    auto copied = validateExtensionBundle(temp, identifier, code, problem);
    if (!copied || copied->version != info.version) {
      fs::remove_all(temp, ec);
      return fail(request, makeError(kErrorValidationFailed,
                                     copied ? "the extension bundle changed while it was copied" : problem));
    }
    ::chmod(temp.c_str(), 0755);

    const std::string copyName = info.version.shortVersion + "_" + info.version.bundleVersion + kBundleExtension;
    const auto previous = currentCopyName(root);
    if (fs::exists(root / copyName)) retire(root, copyName);
    fs::rename(temp, root / copyName, ec);
    if (ec) {
      std::error_code ignored;
      fs::remove_all(temp, ignored);
      if (previous == copyName) pointCurrentAt(root, std::nullopt, problem);
      return fail(request, makeError(kErrorUnknown, "cannot move the new copy into " + root.string() + ": " +
                                                        ec.message()));
    }
    // Undoes the install when the last steps fail: the previous copy (if any)
    // stays the one that runs, and the new copy goes.
    auto rollBack = [&](bool switched) {
      std::string ignored;
      if (switched) pointCurrentAt(root, previous, ignored);
      if (previous != copyName) retire(root, copyName);
    };
    const fs::path program = root / kCurrentLink / info.executable;

    std::string why;
    auto manager = SystemdUserManager::connect(why);
    if (!manager) {
      log::processLog("LinuxSystemExtensions: %s; starting %s at the next login instead", why.c_str(),
                      identifier.c_str());
      if (!pointCurrentAt(root, copyName, problem)) {
        rollBack(false);
        return fail(request, makeError(kErrorUnknown, problem));
      }
      const std::string entry =
          "[Desktop Entry]\n"
          "Type=Application\n"
          "Name=Tovrelle Camera Extension\n"
          "Comment=Serves the Tovrelle virtual camera\n"
          "Exec=" + desktopExecQuoted(program.string()) + "\n"
          "NoDisplay=true\n"
          "Terminal=false\n"
          "X-GNOME-Autostart-enabled=true\n"
          "X-Tovrelle-Version=" + info.version.shortVersion + " (" + info.version.bundleVersion + ")\n";
      if (!writeFileAtomically(paths_.autostartFolder / autostartEntryName(identifier), entry, problem)) {
        rollBack(true);
        return fail(request, makeError(kErrorUnknown, problem));
      }
      retireOthers(root, copyName);
      return finish(request, kRequestWillCompleteAfterReboot);
    }

    const std::string unitName = serviceUnitName(identifier);
    const std::string unit =
        "# Installed by Tovrelle; replaced whenever the app installs its camera extension.\n"
        "[Unit]\n"
        "Description=Tovrelle camera extension " + info.version.shortVersion + " (" + info.version.bundleVersion + ")\n"
        "ConditionPathExists=" + unitPath(program.string()) + "\n"
        "\n"
        "[Service]\n"
        "Type=simple\n"
        "ExecStart=" + unitQuoted(program.string()) + "\n"
        "Restart=on-failure\n"
        "RestartSec=2\n"
        "\n"
        "[Install]\n"
        "WantedBy=default.target\n";
    if (!writeFileAtomically(paths_.unitFolder / unitName, unit, problem)) {
      rollBack(false);
      return fail(request, makeError(kErrorUnknown, problem));
    }
    if (auto call = manager->reload(); !call.ok()) {
      rollBack(false);
      return fail(request, managerError(call));
    }
    if (auto call = manager->enableUnitFile(unitName); !call.ok()) {
      rollBack(false);
      return fail(request, managerError(call));
    }
    if (!pointCurrentAt(root, copyName, problem)) {
      rollBack(false);
      return fail(request, makeError(kErrorUnknown, problem));
    }
    if (auto call = manager->restartUnit(unitName); !call.ok()) {
      rollBack(true);
      return fail(request, managerError(call));
    }
    // One way of starting it: a service makes an old autostart entry redundant.
    std::error_code ignored;
    fs::remove(paths_.autostartFolder / autostartEntryName(identifier), ignored);
    retireOthers(root, copyName);
    log::processLog("LinuxSystemExtensions: installed %s %s (%s) as %s", identifier.c_str(),
                    info.version.shortVersion.c_str(), info.version.bundleVersion.c_str(), unitName.c_str());
    finish(request, kRequestCompleted);
  }

  static void retireOthers(const fs::path& root, const std::string& keep) {
    for (const auto& copy : listCopies(root))
      if (!copy.retired && copy.name != keep) retire(root, copy.name);
  }

  LinuxPaths paths_;
  std::shared_ptr<dispatch::Queue> worker_;
  std::mutex mutex_;
  uint64_t sequence_ = 0;
  std::map<std::string, uint64_t> latestActivation_;
};

}  // namespace

LinuxPaths LinuxPaths::fromEnvironment(fs::path appBundle) {
  LinuxPaths paths;
  paths.appBundle = std::move(appBundle);
  paths.installRoot = xdgFolder("XDG_DATA_HOME", ".local/share") / "tovrelle" / "SystemExtensions";
  const fs::path config = xdgFolder("XDG_CONFIG_HOME", ".config");
  paths.unitFolder = config / "systemd" / "user";
  paths.autostartFolder = config / "autostart";
  return paths;
}

fs::path mainBundlePath() {
  if (const char* path = std::getenv("TOVRELLE_BUNDLE_PATH"); path && *path) return path;
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec);
  return exe.parent_path().parent_path();
}

std::string serviceUnitName(const std::string& identifier) { return identifier + ".service"; }
std::string autostartEntryName(const std::string& identifier) { return identifier + ".desktop"; }

std::shared_ptr<ExtensionManager> makeLinuxExtensionManager(LinuxPaths paths) {
  return std::make_shared<LinuxExtensionManager>(std::move(paths));
}

}  // namespace tovrelle::sysext
