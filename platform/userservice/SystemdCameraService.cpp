#include "platform/userservice/SystemdCameraService.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/camera/pipewire/CameraNodes.h"
#include "platform/log/Log.h"
#include "platform/userservice/ServiceProcesses.h"
#include "platform/userservice/SystemdUserManager.h"
#include "shared/BaseDirs.h"
#include "shared/DataFolder.h"
#include "shared/DesktopEntry.h"
#include "shared/Files.h"
#include "shared/Uuid.h"

namespace tovrelle::userservice {
namespace fs = std::filesystem;

namespace {

constexpr const char* kRetiredPrefix = ".removing-";
constexpr const char* kTempPrefix = ".tmp-";

bool hasControlCharacters(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

std::string errnoText() { return std::strerror(errno); }

std::optional<std::string> currentCopyName(const fs::path& root) {
  std::error_code ec;
  auto target = fs::read_symlink(root / kCurrentLink, ec);
  if (ec || target.empty() || target.has_parent_path()) return std::nullopt;
  return target.string();
}

// The folder names of the installed copies, damaged ones included.
std::vector<std::string> listCopies(const fs::path& root) {
  std::vector<std::string> copies;
  std::error_code ec;
  for (auto it = fs::directory_iterator(root, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code typeError;
    if (!it->is_directory(typeError) || it->is_symlink(typeError)) continue;
    if (name.size() > std::strlen(kCopySuffix) && name.front() != '.' && name.ends_with(kCopySuffix))
      copies.push_back(name);
  }
  return copies;
}

// Writes `text` to `path` (a file others read: mode 0644) through a
// temporary file in the same folder, so readers see the old file or the new
// one, never a part.
Result<void> writeSharedFile(const fs::path& path, const std::string& text) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  return writeFileAtomically(path, text, 0644);
}

// Points root/current at `name` by renaming a fresh link over it.
Result<void> pointCurrentAt(const fs::path& root, const std::optional<std::string>& name) {
  const fs::path link = root / kCurrentLink;
  if (!name) {
    std::error_code ec;
    fs::remove(link, ec);
    return {};
  }
  const fs::path temp = root / (std::string(kTempPrefix) + "current-" + std::to_string(::getpid()));
  ::unlink(temp.c_str());
  if (::symlink(name->c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
    const std::string why = "cannot switch " + link.string() + " to " + *name + ": " + errnoText();
    ::unlink(temp.c_str());
    return Unexpected{why};
  }
  return {};
}

// Moves a copy out of the way, then deletes it. A copy that cannot be
// deleted stays behind under its retired name until the next install.
void retire(const fs::path& root, const std::string& name) {
  const fs::path from = root / name;
  // A fresh name each time, whoever else retires copies meanwhile.
  const fs::path to = root / (kRetiredPrefix + name + "-" + Uuid::random().toString());
  std::error_code ec;
  fs::rename(from, to, ec);
  if (ec) {
    log::processLog("SystemdCameraService: cannot move %s aside: %s", from.c_str(), ec.message().c_str());
    return;
  }
  fs::remove_all(to, ec);
  if (ec) log::processLog("SystemdCameraService: cannot remove %s: %s", to.c_str(), ec.message().c_str());
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

// systemd unit files: a quoted Environment= assignment. Only specifiers are
// expanded there; a '$' stays as it is.
std::string unitEnvironmentQuoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
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

class SystemdCameraService final : public CameraService, public std::enable_shared_from_this<SystemdCameraService> {
 public:
  SystemdCameraService(ServicePaths paths, std::shared_ptr<dispatch::Queue> answers)
      : paths_(std::move(paths)),
        answers_(std::move(answers)),
        worker_(dispatch::makeSerialQueue("ossel.tovrelle.userservice")) {}

  // One call at a time, in order, on the worker.
  void install(Done done) override {
    worker_->async([self = shared_from_this(), done = std::move(done)] { self->answer(done, self->installNow()); });
  }
  void remove(Done done) override {
    worker_->async([self = shared_from_this(), done = std::move(done)] { self->answer(done, self->removeNow()); });
  }
  void look(Looked done) override {
    worker_->async([self = shared_from_this(), done = std::move(done)] {
      std::optional<Error> error;
      auto installed = self->lookNow(error);
      self->answers_->async([done, installed, error] { done(installed, error); });
    });
  }

 private:
  fs::path root() const { return paths_.installRoot / kServiceIdentifier; }

  void answer(const Done& done, std::optional<Error> error) {
    if (error) log::processLog("SystemdCameraService: failed (#%d): %s", error->code, error->description.c_str());
    answers_->async([done, error] { done(error); });
  }

  static Error managerError(const ManagerCall& call) {
    return makeError(call.outcome == ManagerCall::Outcome::refused ? kErrorRefused : kErrorUnknown, call.description);
  }

  // ---- the camera in the PipeWire graph

  struct CameraLook {
    bool reachable = true;
    std::string why;                          // when not reachable
    bool ours = false;                        // published by `binary`
    std::optional<camera::CameraNode> other;  // published by any other process
    bool fromRoot = false;                    // published by some copy inside the install folder
  };

  CameraLook lookForCamera(const fs::path& root, const std::string& binary) const {
    CameraLook look;
    auto nodes = camera::findCameraNodes(paths_.cameraName, std::chrono::seconds(5), &look.why);
    if (!nodes) {
      look.reachable = false;
      return look;
    }
    std::error_code ec;
    const fs::path realRoot = fs::weakly_canonical(root, ec);
    for (const auto& node : *nodes) {
      if (!binary.empty() && node.binary == binary) {
        look.ours = true;
      } else {
        look.other = node;
      }
      if (isUnder(node.binary, realRoot)) look.fromRoot = true;
    }
    return look;
  }

  // The real path of a copy's program: what /proc shows for its process.
  static std::string realProgram(const fs::path& root, const std::string& copyName, const std::string& executable) {
    std::error_code ec;
    auto path = fs::canonical(root / copyName / executable, ec);
    return ec ? std::string() : path.string();
  }

  // Waits until `binary`'s camera shows up. Nothing when it does, else the
  // error to report (its details also go to the log).
  std::optional<Error> waitForCamera(const fs::path& root, const std::string& binary, std::optional<pid_t> started,
                                     const std::string& unit) const {
    const auto deadline = std::chrono::steady_clock::now() + paths_.cameraWait;
    CameraLook look;
    std::optional<std::string> exit;
    for (;;) {
      look = lookForCamera(root, binary);
      if (look.ours) return std::nullopt;
      if (started) exit = children_.exitOf(*started);
      if (exit || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    if (look.other && !look.fromRoot) {
      const auto& node = *look.other;
      return makeError(kErrorCameraTaken, "another program already publishes the " + paths_.cameraName +
                                              " camera: process " + std::to_string(node.pid) + " (" +
                                              (node.binary.empty() ? "unknown program" : node.binary) + ")");
    }
    if (!look.reachable) return makeError(kErrorNoCamera, "PipeWire cannot be reached: " + look.why);
    const long seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(paths_.cameraWait).count());
    std::string cause =
        exit ? "the camera service " + *exit + " before its camera appeared"
             : "the camera service runs but published no camera within " + std::to_string(seconds) + " s";
    if (!unit.empty()) {
      const std::string journal = journalTail(unit);
      log::processLog("SystemdCameraService: %s; last journal lines of %s:\n%s", cause.c_str(), unit.c_str(),
                      journal.empty() ? "(the journal has none)" : escaped(journal).c_str());
    } else {
      const fs::path logFile = paths_.stateFolder / kServiceLogName;
      log::processLog("SystemdCameraService: %s; last lines of %s:\n%s", cause.c_str(), logFile.c_str(),
                      escaped(fileTail(logFile)).c_str());
    }
    return makeError(kErrorNoCamera, cause);
  }

  // ---- looking

  std::optional<Installed> lookNow(std::optional<Error>& error) {
    const fs::path root = this->root();
    Installed installed;
    const auto current = currentCopyName(root);
    if (!current) return installed;
    const auto copy = validateCurrent(root, *current);
    if (copy) installed.version = copy->version;
    // Running means: it comes back at the next login (unit enabled, or an
    // autostart entry) and its camera is in the graph now.
    bool registered = false;
    if (auto connected = SystemdUserManager::connect()) {
      auto state = (*connected)->unitFileState(serviceUnitName());
      if (!state.ok()) {
        error = managerError(state);
        return std::nullopt;
      }
      registered = state.value == "enabled" || state.value == "enabled-runtime";
    } else {
      registered = fs::exists(paths_.autostartFolder / autostartEntryName());
    }
    if (registered && copy) {
      const auto look = lookForCamera(root, realProgram(root, *current, copy->executable));
      if (!look.reachable) log::processLog("SystemdCameraService: cannot see the camera: %s", look.why.c_str());
      installed.running = look.ours;
    }
    return installed;
  }

  // ---- removal

  std::optional<Error> removeNow() {
    const fs::path root = this->root();
    const std::string unitName = serviceUnitName();
    if (auto connected = SystemdUserManager::connect()) {
      // Each step may find its part gone already (a half-removed install).
      if (auto call = (*connected)->stopUnit(unitName); !call.ok())
        log::processLog("SystemdCameraService: %s", call.description.c_str());
      if (auto call = (*connected)->disableUnitFile(unitName); !call.ok())
        log::processLog("SystemdCameraService: %s", call.description.c_str());
    }
    std::error_code ec;
    const bool hadUnit = fs::remove(paths_.unitFolder / unitName, ec);
    if (ec)
      return makeError(kErrorUnknown, "cannot remove " + (paths_.unitFolder / unitName).string() + ": " + ec.message());
    if (hadUnit) {
      if (auto connected = SystemdUserManager::connect()) (*connected)->reload();
    }
    fs::remove(paths_.autostartFolder / autostartEntryName(), ec);
    if (ec) return makeError(kErrorUnknown, "cannot remove the autostart entry: " + ec.message());
    stopCopiesUnder(root);
    fs::remove_all(root, ec);
    if (ec) return makeError(kErrorUnknown, "cannot remove " + root.string() + ": " + ec.message());
    fs::remove(paths_.installRoot, ec);  // only when nothing else is left in it

    const auto deadline = std::chrono::steady_clock::now() + paths_.cameraWait;
    for (;;) {
      const auto look = lookForCamera(root, {});
      if (!look.reachable || !look.fromRoot) break;  // no PipeWire, no camera
      if (std::chrono::steady_clock::now() >= deadline)
        return makeError(kErrorUnknown, "the removed camera service's camera is still published");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    log::processLog("SystemdCameraService: removed %s (service, autostart entry and installed copies)",
                    kServiceIdentifier);
    return std::nullopt;
  }

  static std::optional<ServiceCopy> validateCurrent(const fs::path& root, const std::string& name) {
    auto copy = validateServiceCopy(root / name);
    if (!copy) return std::nullopt;
    return std::move(*copy);
  }

  // ---- installing

  std::optional<Error> installNow() {
    const fs::path shipped = shippedServicePath(paths_.prefix);
    auto info = validateServiceCopy(shipped);
    if (!info) return makeError(info.failure().code, info.error());

    const fs::path root = this->root();
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec || hasControlCharacters(root.string())) {
      return makeError(kErrorUnknown, "cannot use the install folder " + root.string() + ": " +
                                          (ec ? ec.message() : "its path holds control characters"));
    }
    removeLeftovers(root);
    // The app's own copy always wins, newer or not.
    if (auto name = currentCopyName(root)) {
      if (auto version = readServiceVersion(root / *name); version && *version != info->version)
        log::processLog("SystemdCameraService: replacing the installed %s (%s) with %s (%s)",
                        version->shortVersion.c_str(), version->buildNumber.c_str(), info->version.shortVersion.c_str(),
                        info->version.buildNumber.c_str());
    }

    // Copy into a private folder first; only a complete, checked copy gets
    // its final name.
    std::string temp = (root / (std::string(kTempPrefix) + "XXXXXX")).string();
    if (!::mkdtemp(temp.data()))
      return makeError(kErrorUnknown, "cannot write to the install folder " + root.string() + ": " + errnoText());
    fs::copy(shipped, temp, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    if (ec) {
      fs::remove_all(temp, ec);
      return makeError(kErrorUnknown, "copying the camera service into " + root.string() + " failed: " + ec.message());
    }
    auto copied = validateServiceCopy(temp);
    if (!copied || copied->version != info->version) {
      fs::remove_all(temp, ec);
      return makeError(kErrorValidationFailed,
                       copied ? "the camera service changed while it was copied" : copied.error());
    }
    ::chmod(temp.c_str(), 0755);

    const std::string copyName = copyFolderName(info->version);
    const auto previous = currentCopyName(root);
    if (fs::exists(root / copyName)) retire(root, copyName);
    fs::rename(temp, root / copyName, ec);
    if (ec) {
      std::error_code ignored;
      fs::remove_all(temp, ignored);
      if (previous == copyName) (void)pointCurrentAt(root, std::nullopt);
      return makeError(kErrorUnknown, "cannot move the new copy into " + root.string() + ": " + ec.message());
    }
    // Undoes the install when the last steps fail: the previous copy (if any)
    // stays the one that runs, and the new copy goes.
    auto rollBack = [&](bool switched) {
      if (switched) (void)pointCurrentAt(root, previous);
      if (previous != copyName) retire(root, copyName);
    };
    const fs::path program = root / kCurrentLink / info->executable;
    const std::string dataEnv =
        paths_.dataFolder.empty() ? std::string() : "TOVRELLE_DATA_DIR=" + paths_.dataFolder.string();
    // The app's own program: the service starts, and keeps running, only
    // while it exists, so removing the app's package takes the camera away.
    const fs::path appProgram = shipped / info->executable;
    const std::string appEnv = std::string(kInstalledAppEnv) + "=" + appProgram.string();

    auto connected = SystemdUserManager::connect();
    if (!connected) {
      log::processLog("SystemdCameraService: %s; starting %s now and at every login through an autostart entry",
                      connected.error().c_str(), kServiceIdentifier);
      if (auto pointed = pointCurrentAt(root, copyName); !pointed) {
        rollBack(false);
        return makeError(kErrorUnknown, pointed.error());
      }
      const std::string entry =
          "[Desktop Entry]\n"
          "Type=Application\n"
          "Name=Tovrelle Camera Service\n"
          "Comment=Publishes the Tovrelle camera for other apps\n"
          "Exec=env " +
          (dataEnv.empty() ? std::string() : desktop_entry::execArgument(dataEnv) + " ") +
          desktop_entry::execArgument(appEnv) + " " + desktop_entry::execArgument(program.string()) +
          "\n"
          // Skipped at login once the app that installed it is gone.
          "TryExec=" +
          desktop_entry::stringValue(appProgram.string()) +
          "\n"
          "NoDisplay=true\n"
          "Terminal=false\n"
          "X-GNOME-Autostart-enabled=true\n"
          "X-Tovrelle-Version=" +
          info->version.shortVersion + " (" + info->version.buildNumber + ")\n";
      if (auto written = writeSharedFile(paths_.autostartFolder / autostartEntryName(), entry); !written) {
        rollBack(true);
        return makeError(kErrorUnknown, written.error());
      }
      retireOthers(root, copyName);
      // What the session would do at the next login, done now: older copies
      // stop, this one runs unless it already does.
      const std::string binary = realProgram(root, copyName, info->executable);
      stopCopiesUnder(root, binary);
      std::optional<pid_t> started;
      if (processesUnder(root).empty()) {
        auto child = children_.startDetached(root / copyName / info->executable, paths_.stateFolder / kServiceLogName,
                                             paths_.dataFolder, appProgram);
        if (!child) return makeError(kErrorUnknown, child.error());
        started = *child;
        log::processLog("SystemdCameraService: started the camera service (process %d), output in %s",
                        static_cast<int>(*started), (paths_.stateFolder / kServiceLogName).c_str());
      }
      if (auto error = waitForCamera(root, binary, started, {})) return *error;
      log::processLog("SystemdCameraService: installed %s %s (%s); its camera is published", kServiceIdentifier,
                      info->version.shortVersion.c_str(), info->version.buildNumber.c_str());
      return std::nullopt;
    }

    const std::string unitName = serviceUnitName();
    const std::string unit =
        "# Installed by Tovrelle; replaced whenever the app installs its camera service.\n"
        "[Unit]\n"
        "Description=Tovrelle camera service " +
        info->version.shortVersion + " (" + info->version.buildNumber +
        ")\n"
        "ConditionPathExists=" +
        unitPath(program.string()) +
        "\n"
        // Once the app is uninstalled (its package removed) the copy no longer
        // starts at login, so nothing of ours keeps writing to the devices.
        "ConditionPathExists=" +
        unitPath(shipped.string()) +
        "\n"
        "\n"
        "[Service]\n"
        "Type=simple\n"
        "ExecStart=" +
        unitQuoted(program.string()) + "\n" +
        (dataEnv.empty() ? std::string() : "Environment=" + unitEnvironmentQuoted(dataEnv) + "\n") +
        "Environment=" + unitEnvironmentQuoted(appEnv) + "\n" +
        "Restart=on-failure\n"
        "RestartSec=2\n"
        // Another process publishes the camera already: starting again changes nothing.
        "RestartPreventExitStatus=" +
        std::to_string(camera::kAnotherCameraExitStatus) +
        "\n"
        "\n"
        "[Install]\n"
        "WantedBy=default.target\n";
    if (auto written = writeSharedFile(paths_.unitFolder / unitName, unit); !written) {
      rollBack(false);
      return makeError(kErrorUnknown, written.error());
    }
    const std::unique_ptr<SystemdUserManager>& manager = *connected;
    if (auto call = manager->reload(); !call.ok()) {
      rollBack(false);
      return managerError(call);
    }
    if (auto call = manager->enableUnitFile(unitName); !call.ok()) {
      rollBack(false);
      return managerError(call);
    }
    if (auto pointed = pointCurrentAt(root, copyName); !pointed) {
      rollBack(false);
      return makeError(kErrorUnknown, pointed.error());
    }
    // A copy started by an autostart entry earlier would keep the camera.
    stopCopiesUnder(root);
    if (auto call = manager->restartUnit(unitName); !call.ok()) {
      rollBack(true);
      return managerError(call);
    }
    // One way of starting it: a service makes an old autostart entry redundant.
    std::error_code ignored;
    fs::remove(paths_.autostartFolder / autostartEntryName(), ignored);
    retireOthers(root, copyName);
    if (auto error = waitForCamera(root, realProgram(root, copyName, info->executable), std::nullopt, unitName))
      return *error;
    log::processLog("SystemdCameraService: installed %s %s (%s) as %s; its camera is published", kServiceIdentifier,
                    info->version.shortVersion.c_str(), info->version.buildNumber.c_str(), unitName.c_str());
    return std::nullopt;
  }

  static void retireOthers(const fs::path& root, const std::string& keep) {
    for (const auto& name : listCopies(root))
      if (name != keep) retire(root, name);
  }

  ServicePaths paths_;
  std::shared_ptr<dispatch::Queue> answers_;
  std::shared_ptr<dispatch::Queue> worker_;
  // The copies started here without a service manager, and how they ended.
  ServiceChildren children_;
};

// The service when its folders could not be resolved (no home folder):
// every call answers with why.
class UnresolvedCameraService final : public CameraService {
 public:
  UnresolvedCameraService(std::string why, std::shared_ptr<dispatch::Queue> answers)
      : error_(makeError(kErrorUnknown, "no folders for the camera service: " + why)), answers_(std::move(answers)) {}

  void install(Done done) override { answer(std::move(done)); }
  void remove(Done done) override { answer(std::move(done)); }
  void look(Looked done) override {
    log::processLog("SystemdCameraService: failed (#%d): %s", error_.code, error_.description.c_str());
    answers_->async([done = std::move(done), error = error_] { done(std::nullopt, error); });
  }

 private:
  void answer(Done done) {
    log::processLog("SystemdCameraService: failed (#%d): %s", error_.code, error_.description.c_str());
    answers_->async([done = std::move(done), error = error_] { done(error); });
  }

  Error error_;
  std::shared_ptr<dispatch::Queue> answers_;
};

}  // namespace

Result<ServicePaths> ServicePaths::fromEnvironment(fs::path prefix) {
  auto data = basedirs::dataHome();
  if (!data) return Unexpected{data.error()};
  auto config = basedirs::configHome();
  if (!config) return Unexpected{config.error()};
  auto state = basedirs::stateHome();
  if (!state) return Unexpected{state.error()};
  ServicePaths paths;
  paths.prefix = std::move(prefix);
  paths.installRoot = *data / kInstallFolder;
  paths.unitFolder = *config / "systemd" / "user";
  paths.autostartFolder = *config / "autostart";
  paths.stateFolder = *state / "tovrelle";
  return paths;
}

fs::path installPrefix() {
  if (const char* path = std::getenv("TOVRELLE_INSTALL_PREFIX"); path && *path) return path;
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec);
  return exe.parent_path().parent_path();
}

std::shared_ptr<CameraService> makeSystemdCameraService(Result<ServicePaths> paths,
                                                        std::shared_ptr<dispatch::Queue> answers) {
  if (!paths) return std::make_shared<UnresolvedCameraService>(paths.error(), std::move(answers));
  return std::make_shared<SystemdCameraService>(std::move(*paths), std::move(answers));
}

}  // namespace tovrelle::userservice
