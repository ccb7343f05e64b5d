#include "tests/support/Services.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef TOVRELLE_BINARY_DIR
#define TOVRELLE_BINARY_DIR "."
#endif

namespace tovrelle::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path binaryDir() {
  if (const char* dir = std::getenv("TOVRELLE_BIN_DIR"); dir && *dir) return dir;
  return TOVRELLE_BINARY_DIR;
}

Process::~Process() {
  if (!reaped_) stop();
}

std::string Process::log() const {
  std::ifstream in(log_);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Process::running() {
  if (reaped_) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    status_ = status;
    return false;
  }
  return true;
}

int Process::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(10ms);
  }
  return status_;
}

int Process::stop(int sig, std::chrono::milliseconds timeout) {
  if (!running()) return status_;
  ::kill(pid_, sig);
  if (wait(timeout) == -1) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
  return status_;
}

bool Process::waitForLog(const std::string& needle, std::chrono::milliseconds timeout, int count) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::string text = log();
    int found = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++found;
    if (found >= count) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

namespace {

std::unique_ptr<Process> spawnWith(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                                   const fs::path& log) {
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::setpgid(0, 0);
    // A test that dies before its destructors run must not leave services behind.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close(fd);
    }
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    for (auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "exec %s failed: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
  }
  return std::make_unique<Process>(pid, log);
}

}  // namespace

PrivateSession::PrivateSession(SessionOptions options) : options_(options) {
  char tmpl[] = "/tmp/tovrelle-test-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  runtimeDir_ = tmpl;
  ::chmod(runtimeDir_.c_str(), 0700);

  env_["XDG_RUNTIME_DIR"] = runtimeDir_.string();
  env_["PIPEWIRE_RUNTIME_DIR"] = runtimeDir_.string();
  env_["XDG_CONFIG_HOME"] = (runtimeDir_ / "config").string();
  env_["XDG_STATE_HOME"] = (runtimeDir_ / "state").string();
  // Programs under test install and write user data; keep it out of the real home.
  env_["XDG_DATA_HOME"] = (runtimeDir_ / "data-home").string();
  env_["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (runtimeDir_ / "bus").string();
  env_["TOVRELLE_NO_JOURNAL"] = "1";
  env_["PIPEWIRE_LOG_SYSTEMD"] = "false";
  env_["WIREPLUMBER_DEBUG"] = "1";
  fs::create_directories(runtimeDir_ / "config");
  fs::create_directories(runtimeDir_ / "state");
  fs::create_directories(runtimeDir_ / "data-home");
  if (options_.xvfb) {
    // Pick a display number nobody uses.
    int display = 90 + static_cast<int>(::getpid() % 400);
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(display))) ++display;
    env_["DISPLAY"] = ":" + std::to_string(display);
  }

  for (auto& [k, v] : env_) {
    const char* old = std::getenv(k.c_str());
    savedEnv_[k] = old ? old : std::string("\x01");
    ::setenv(k.c_str(), v.c_str(), 1);
  }

  dbus_ = spawnWith(
      {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + env_["DBUS_SESSION_BUS_ADDRESS"]}, env_,
      runtimeDir_ / "dbus.log");
  waitForSocket(runtimeDir_ / "bus", "dbus-daemon");
  if (options_.pipewire) startPipeWire();
  if (options_.xvfb) {
    xvfb_ = spawnWith({"Xvfb", env_["DISPLAY"], "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"}, env_,
                      runtimeDir_ / "xvfb.log");
    waitForSocket("/tmp/.X11-unix/X" + env_["DISPLAY"].substr(1), "Xvfb");
  }
}

void PrivateSession::startPipeWire() {
  pipewire_ = spawnWith({"pipewire"}, env_, runtimeDir_ / "pipewire.log");
  waitForSocket(runtimeDir_ / "pipewire-0", "pipewire");
  if (options_.wireplumber) {
    wireplumber_ = spawnWith({"wireplumber"}, env_, runtimeDir_ / "wireplumber.log");
    // WirePlumber is ready once it has registered its session objects; give it a moment.
    std::this_thread::sleep_for(700ms);
  }
}

void PrivateSession::stopPipeWire() {
  if (wireplumber_) wireplumber_->stop();
  wireplumber_.reset();
  if (pipewire_) pipewire_->stop();
  pipewire_.reset();
  std::error_code ec;
  fs::remove(runtimeDir_ / "pipewire-0", ec);
  fs::remove(runtimeDir_ / "pipewire-0.lock", ec);
}

void PrivateSession::waitForSocket(const fs::path& path, const char* what) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error(std::string(what) + " did not start (no " + path.string() + ")");
    std::this_thread::sleep_for(20ms);
  }
}

namespace {

// Programs started from inside the folder (a camera service the app under
// test installed and started detached, as it does at a user's login) belong
// to the test too: stop them, or they outlive it.
void stopProgramsRunFrom(const fs::path& folder) {
  const std::string prefix = folder.string() + "/";
  auto strays = [&] {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const fs::path exe = fs::read_symlink(entry.path() / "exe", ec);
      if (!ec && exe.string().rfind(prefix, 0) == 0) found.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return found;
  };
  for (pid_t pid : strays()) ::kill(pid, SIGTERM);
  for (int i = 0; i < 40 && !strays().empty(); ++i) std::this_thread::sleep_for(50ms);
  for (pid_t pid : strays()) ::kill(pid, SIGKILL);
}

}  // namespace

PrivateSession::~PrivateSession() {
  stopProgramsRunFrom(runtimeDir_);
  if (xvfb_) xvfb_->stop();
  stopPipeWire();
  if (dbus_) dbus_->stop();
  for (auto& [k, v] : savedEnv_) {
    if (v == "\x01") {
      ::unsetenv(k.c_str());
    } else {
      ::setenv(k.c_str(), v.c_str(), 1);
    }
  }
  if (!std::getenv("TOVRELLE_KEEP_TEST_DIRS")) {
    std::error_code ec;
    fs::remove_all(runtimeDir_, ec);
  }
}

fs::path PrivateSession::makeFolder(const std::string& name) const {
  fs::path p = runtimeDir_ / name;
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}

std::unique_ptr<Process> PrivateSession::spawn(const std::vector<std::string>& argv,
                                               const std::map<std::string, std::string>& extraEnv,
                                               const std::string& logName) const {
  auto env = env_;
  for (auto& [k, v] : extraEnv) env[k] = v;
  static int counter = 0;
  std::string name =
      logName.empty() ? fs::path(argv[0]).filename().string() + "-" + std::to_string(++counter) : logName;
  return spawnWith(argv, env, runtimeDir_ / (name + ".log"));
}

}  // namespace tovrelle::test
