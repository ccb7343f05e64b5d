#include "Log.h"

#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include <systemd/sd-journal.h>

namespace tovrelle::log {
namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

std::atomic<bool> terminalForResults{false};

Sink& currentSink() {
  static Sink sink;
  return sink;
}

std::string vformat(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  return out;
}

// Where lines go, judged at each line so a test or a restarted journal is
// seen: the journal's own socket when it listens (every field kept, priority
// included), else stderr with the "<N>" priority prefix, which journald reads
// when stderr is its stream.
bool nativeJournal() {
  if (std::getenv("TOVRELLE_NO_JOURNAL") != nullptr) return false;
  struct stat st {};
  return ::stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode);
}

// True when stderr is the journal stream the service manager set up, so a
// line sent natively must not be written there again.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  return ::fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

const std::string& identifier() {
  static const std::string name = [] {
    const char* n = program_invocation_short_name;
    return std::string(n && *n ? n : "tovrelle");
  }();
  return name;
}

// A message never spans lines: a newline inside one would forge the next line.
std::string oneLine(const std::string& message) {
  std::string out;
  out.reserve(message.size());
  for (char c : message) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

bool sendToJournal(const Record& r, const std::string& message) {
  const int priority = priorityOf(r.level);
  if (r.subsystem.empty()) {
    return sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s",
                           identifier().c_str(), nullptr) == 0;
  }
  return sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s",
                         identifier().c_str(), "TOVRELLE_SUBSYSTEM=%s", r.subsystem.c_str(), "TOVRELLE_CATEGORY=%s",
                         r.category.c_str(), nullptr) == 0;
}

void writeStderr(const Record& r, const std::string& message, bool withPriority) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::string line;
  if (withPriority) line = format("<%d>", priorityOf(r.level));
  line += std::string(stamp) + "." + format("%03ld", ts.tv_nsec / 1000000) + " ";
  if (!r.subsystem.empty()) line += "[" + r.subsystem + ":" + r.category + "] ";
  if (r.level == Level::Error) line += "error: ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void emit(const Record& r) {
  {
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
      currentSink()(r);
      return;
    }
  }
  const std::string message = oneLine(r.message);
  if (terminalForResults && ::isatty(STDERR_FILENO)) {
    if (nativeJournal() && sendToJournal(r, message)) return;
    if (r.level == Level::Error) writeStderr(r, message, true);
    return;
  }
  if (nativeJournal() && sendToJournal(r, message)) {
    // A terminal still shows the line; the journal's own stream does not get it twice.
    if (!stderrIsJournal()) writeStderr(r, message, false);
    return;
  }
  writeStderr(r, message, true);
}

}  // namespace

int priorityOf(Level level) {
  switch (level) {
    case Level::Debug: return 7;
    case Level::Info: return 6;
    case Level::Warning: return 4;
    case Level::Error: return 3;
  }
  return 6;
}

void keepTerminalForResults() { terminalForResults = true; }

void setSink(Sink sink) {
  std::lock_guard lock(sinkMutex());
  currentSink() = std::move(sink);
}

void write(Level level, const std::string& subsystem, const std::string& category, const std::string& message) {
  emit(Record{level, subsystem, category, message});
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  return s;
}

#define TOVRELLE_LOGGER_LEVEL(name, level)                    \
  void Logger::name(const char* fmt, ...) const {             \
    va_list args;                                             \
    va_start(args, fmt);                                      \
    std::string s = vformat(fmt, args);                       \
    va_end(args);                                             \
    emit(Record{level, subsystem_, category_, std::move(s)}); \
  }
TOVRELLE_LOGGER_LEVEL(debug, Level::Debug)
TOVRELLE_LOGGER_LEVEL(info, Level::Info)
TOVRELLE_LOGGER_LEVEL(warning, Level::Warning)
TOVRELLE_LOGGER_LEVEL(error, Level::Error)
#undef TOVRELLE_LOGGER_LEVEL

void processLog(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  emit(Record{Level::Info, {}, {}, std::move(s)});
}

}  // namespace tovrelle::log
