#pragma once
// The camera service's processes as the systemd backend sees them without a
// service manager: found by the program they run, started detached as an
// autostart entry would be, stopped, and their last log lines for the app's
// log. Thread-safe: the exit statuses of started services are collected by
// one waiting thread per child and kept behind a lock; the rest reads /proc.
#include <sys/types.h>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tovrelle::userservice {

// Whether `path` lies inside `root` (both real paths).
bool isUnder(const std::string& path, const std::filesystem::path& root);

// Our processes whose executable lies inside `root`.
std::vector<pid_t> processesUnder(const std::filesystem::path& root);

// Asks every process running a program inside `root` (except `keep`) to stop,
// and kills those still there after a grace period.
void stopCopiesUnder(const std::filesystem::path& root, const std::string& keep = {});

// Starts `program` in a session of its own, as the desktop session starts an
// autostart entry, with its output appended to `logFile` (or discarded when
// that cannot be opened). The data folder and the app's installed program
// (the service ends once that is gone) are handed over explicitly. Its exit
// is collected, so no zombie is left behind.
std::optional<pid_t> startDetached(const std::filesystem::path& program, const std::filesystem::path& logFile,
                                   const std::filesystem::path& dataFolder, const std::filesystem::path& app,
                                   std::string& problem);

// How a process startDetached started ended ("exited with status N", "was
// killed by signal N"), or nothing while it runs.
std::optional<std::string> exitOf(pid_t pid);

// The last lines the service manager's journal holds for `unit`.
std::string journalTail(const std::string& unit);
// The last lines of a log file (bounded).
std::string fileTail(const std::filesystem::path& file);
// Log text of another process: one line per line, control characters shown as '?'.
std::string escaped(std::string text);

}  // namespace tovrelle::userservice
