#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

namespace tovrelle::log {
namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

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

bool journalAvailable() {
  // Under a service manager stderr already reaches the journal; send directly
  // only when we run outside one and a journal is listening.
  static const bool available = [] {
    if (std::getenv("JOURNAL_STREAM") != nullptr) return false;
    if (std::getenv("TOVRELLE_NO_JOURNAL") != nullptr) return false;
    struct stat st {};
    return ::stat("/run/systemd/journal/socket", &st) == 0;
  }();
  return available;
}

void emit(const Record& r) {
  {
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
      currentSink()(r);
      return;
    }
  }
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::string line = std::string(stamp) + "." + format("%03ld", ts.tv_nsec / 1000000) + " ";
  if (!r.subsystem.empty()) line += "[" + r.subsystem + ":" + r.category + "] ";
  if (r.level == Level::Error) line += "error: ";
  line += r.message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  if (journalAvailable()) {
    const int priority = r.level == Level::Error ? 3 : 5;
    if (r.subsystem.empty()) {
      sd_journal_send("MESSAGE=%s", r.message.c_str(), "PRIORITY=%d", priority, nullptr);
    } else {
      sd_journal_send("MESSAGE=%s", r.message.c_str(), "PRIORITY=%d", priority,
                      "TOVRELLE_SUBSYSTEM=%s", r.subsystem.c_str(), "TOVRELLE_CATEGORY=%s",
                      r.category.c_str(), nullptr);
    }
  }
}

}  // namespace

void setSink(Sink sink) {
  std::lock_guard lock(sinkMutex());
  currentSink() = std::move(sink);
}

void write(Level level, const std::string& subsystem, const std::string& category,
           const std::string& message) {
  emit(Record{level, subsystem, category, message});
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  return s;
}

void Logger::info(const char* fmt, ...) const {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  emit(Record{Level::Default, subsystem_, category_, std::move(s)});
}

void Logger::error(const char* fmt, ...) const {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  emit(Record{Level::Error, subsystem_, category_, std::move(s)});
}

void processLog(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  emit(Record{Level::Default, {}, {}, std::move(s)});
}

}  // namespace tovrelle::log
