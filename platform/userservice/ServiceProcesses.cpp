#include "platform/userservice/ServiceProcesses.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/camera/pipewire/CameraNodes.h"
#include "platform/log/Log.h"
#include "shared/DataFolder.h"

namespace tovrelle::userservice {
namespace fs = std::filesystem;
namespace {

std::string errnoText() { return std::strerror(errno); }

// The executable a process runs, with a " (deleted)" mark (the copy was
// replaced or removed under it) taken off.
std::string exeOf(const std::string& pid) { return camera::processBinary(static_cast<pid_t>(std::stol(pid))); }

bool alive(pid_t pid) {
  // A child that exited but is not reaped yet is as good as gone.
  std::error_code ec;
  std::string stat;
  if (FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re")) {
    char buffer[512] = {};
    size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    stat.assign(buffer, n);
  }
  if (stat.empty()) return false;
  auto paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

}  // namespace

struct ServiceChildren::Exits {
  std::mutex mutex;
  std::map<pid_t, int> statuses;  // wait statuses of the children that ended
};

ServiceChildren::ServiceChildren() : exits_(std::make_shared<Exits>()) {}
ServiceChildren::~ServiceChildren() = default;

std::optional<std::string> ServiceChildren::exitOf(pid_t pid) const {
  std::lock_guard lock(exits_->mutex);
  auto it = exits_->statuses.find(pid);
  if (it == exits_->statuses.end()) return std::nullopt;
  const int status = it->second;
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

bool isUnder(const std::string& path, const fs::path& root) {
  const std::string prefix = root.string() + "/";
  return path.rfind(prefix, 0) == 0;
}

std::vector<pid_t> processesUnder(const fs::path& root) {
  std::vector<pid_t> found;
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(root, ec);
  if (ec) return found;
  for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string pid = it->path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (isUnder(exeOf(pid), real)) found.push_back(static_cast<pid_t>(std::stol(pid)));
  }
  return found;
}

void stopCopiesUnder(const fs::path& root, const std::string& keep) {
  std::vector<pid_t> asked;
  for (pid_t pid : processesUnder(root)) {
    if (!keep.empty() && camera::processBinary(pid) == keep) continue;
    if (::kill(pid, SIGTERM) == 0) asked.push_back(pid);
  }
  if (asked.empty()) return;
  log::processLog("SystemdCameraService: stopping %zu running camera service process(es)", asked.size());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (pid_t pid : asked) {
    while (alive(pid) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (alive(pid)) ::kill(pid, SIGKILL);
  }
}

Result<pid_t> ServiceChildren::startDetached(const fs::path& program, const fs::path& logFile,
                                             const fs::path& dataFolder, const fs::path& app) {
  std::error_code ec;
  fs::create_directories(logFile.parent_path(), ec);
  int out = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0600);
  if (out < 0) {
    log::processLog("SystemdCameraService: cannot write the camera service log %s (%s); its output is discarded",
                    logFile.c_str(), errnoText().c_str());
    out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  }
  const std::string programText = program.string();
  // The child's environment is built here: between fork and exec the child
  // may only make async-signal-safe calls, and putenv/unsetenv take a lock
  // that another of our threads may have held at the fork.
  std::vector<std::string> environment;
  const std::string dataName = "TOVRELLE_DATA_DIR=";
  const std::string appName = std::string(kInstalledAppEnv) + "=";
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with(appName) || text.starts_with("TOVRELLE_NO_JOURNAL=") ||
        (!dataFolder.empty() && text.starts_with(dataName)))
      continue;
    environment.emplace_back(text);
  }
  if (!dataFolder.empty()) environment.push_back(dataName + dataFolder.string());
  environment.push_back(appName + app.string());
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(programText.c_str()), nullptr};
  const pid_t pid = ::fork();
  if (pid < 0) {
    const std::string why = "cannot start " + programText + ": " + errnoText();
    if (out >= 0) ::close(out);
    return Unexpected{why};
  }
  if (pid == 0) {
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, STDIN_FILENO);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  if (out >= 0) ::close(out);
  // The waiter holds the statuses, not this object: the child may outlive it.
  std::thread([exits = exits_, pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(exits->mutex);
    exits->statuses[pid] = status;
  }).detach();
  return pid;
}

std::string journalTail(const std::string& unit) {
  const std::string command = "journalctl --user --no-pager -o cat -n 8 -u '" + unit + "' 2>/dev/null";
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "re")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0 && text.size() < 16384) text.append(buffer, n);
    ::pclose(pipe);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string fileTail(const fs::path& file) {
  std::string text;
  if (FILE* f = std::fopen(file.c_str(), "re")) {
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fseek(f, size > 2048 ? size - 2048 : 0, SEEK_SET);
    char buffer[2048];
    size_t n = std::fread(buffer, 1, sizeof buffer, f);
    std::fclose(f);
    text.assign(buffer, n);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string escaped(std::string text) {
  for (char& c : text)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f) c = '?';
  return text;
}

}  // namespace tovrelle::userservice
