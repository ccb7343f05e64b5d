#pragma once
// The camera service's processes as the systemd backend sees them without a
// service manager: found by the program they run, started detached as an
// autostart entry would be, stopped, and their last log lines for the app's
// log. The free functions are reentrant (they read /proc and files);
// ServiceChildren is thread-safe.
#include <sys/types.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shared/Result.h"

namespace tovrelle::userservice {

// Whether `path` lies inside `root` (both real paths).
bool isUnder(const std::string& path, const std::filesystem::path& root);

// Our processes whose executable lies inside `root`.
std::vector<pid_t> processesUnder(const std::filesystem::path& root);

// Asks every process running a program inside `root` (except `keep`) to stop,
// and kills those still there after a grace period.
void stopCopiesUnder(const std::filesystem::path& root, const std::string& keep = {});

// The services one owner started itself, and how each ended. A waiting
// thread per child collects its exit, so no zombie is left behind; the
// statuses it writes are shared with it, so it may outlive the owner (a
// service runs on after the app) without writing to freed memory.
// Thread-safe: the statuses are behind a lock.
class ServiceChildren {
 public:
  ServiceChildren();
  ~ServiceChildren();
  ServiceChildren(const ServiceChildren&) = delete;
  ServiceChildren& operator=(const ServiceChildren&) = delete;

  // Starts `program` in a session of its own, as the desktop session starts
  // an autostart entry, with its output appended to `logFile` (or discarded
  // when that cannot be opened). The data folder and the app's installed
  // program (the service ends once that is gone) are handed over explicitly.
  // The process id, or why it could not be started.
  Result<pid_t> startDetached(const std::filesystem::path& program, const std::filesystem::path& logFile,
                              const std::filesystem::path& dataFolder, const std::filesystem::path& app);

  // How a process this object started ended ("exited with status N", "was
  // killed by signal N"); nothing while it runs or when another started it.
  std::optional<std::string> exitOf(pid_t pid) const;

 private:
  struct Exits;
  std::shared_ptr<Exits> exits_;
};

// The last lines the service manager's journal holds for `unit`.
std::string journalTail(const std::string& unit);
// The last lines of a log file (bounded).
std::string fileTail(const std::filesystem::path& file);
// Log text of another process: one line per line, control characters shown as '?'.
std::string escaped(std::string text);

}  // namespace tovrelle::userservice
