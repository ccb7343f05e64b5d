#pragma once
// One logger for both deliverables. Lines go to the journal through its native
// API when it listens (PRIORITY, SYSLOG_IDENTIFIER, TOVRELLE_SUBSYSTEM and
// TOVRELLE_CATEGORY as fields), else to stderr with the "<N>" priority prefix.
// Levels are the journal's priorities: debug 7, info 6, warning 4, error 3.
// TOVRELLE_NO_JOURNAL=1 keeps them on stderr.
#include <functional>
#include <string>

namespace tovrelle::log {

enum class Level { Debug, Info, Warning, Error };

// The journal (syslog) priority of a level.
int priorityOf(Level level);

struct Record {
  Level level;
  std::string subsystem;  // empty for plain process-log lines
  std::string category;
  std::string message;
};

using Sink = std::function<void(const Record&)>;

// For a command-line run whose terminal is for its one result line: while stderr is a
// terminal, routine lines go only to the journal (nowhere when it does not listen) and
// errors still reach stderr. Where stderr is a file or the journal's stream, nothing changes.
void keepTerminalForResults();

// Sends every record to `sink` instead of the journal or stderr; nullptr
// goes back. The one logger is process-wide, as the journal it writes to is:
// benchmarks quiet it to keep their tables readable, tests read the lines a
// peer reading the journal would see.
void setSink(Sink sink);

void write(Level level, const std::string& subsystem, const std::string& category, const std::string& message);

// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

inline const char* yesNo(bool value) { return value ? "yes" : "no"; }

// Thread-safe: a logger is fixed once made, each line goes out in one
// write, and a test sink is called under a process-wide lock.
class Logger {
 public:
  Logger(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

  void debug(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
  void info(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
  void warning(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

// The host objects' plain process log ("CameraManager: wrote state ..."), at info.
void processLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tovrelle::log
