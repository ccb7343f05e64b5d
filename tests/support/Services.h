#pragma once
// Private desktop services for integration tests: a session bus, PipeWire,
// WirePlumber and Xvfb in a runtime directory of the test's own. Everything
// started here is stopped when the session object goes away.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tovrelle::test {

// A child process whose stdout and stderr go to a log file.
class Process {
 public:
  Process(pid_t pid, std::filesystem::path log) : pid_(pid), log_(std::move(log)) {}
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  const std::filesystem::path& logPath() const { return log_; }
  std::string log() const;
  bool running();
  // Sends `sig` and waits up to `timeout`; SIGKILL after that. Returns the exit status.
  int stop(int sig = 15, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Waits for exit without signalling; -1 on timeout.
  int wait(std::chrono::milliseconds timeout);
  // Polls the log until `needle` appears (count times), or the timeout passes.
  bool waitForLog(const std::string& needle, std::chrono::milliseconds timeout, int count = 1) const;

 private:
  pid_t pid_;
  std::filesystem::path log_;
  bool reaped_ = false;
  int status_ = 0;
};

struct SessionOptions {
  bool pipewire = true;
  bool wireplumber = true;
  bool xvfb = false;
};

class PrivateSession {
 public:
  // Starts the services and points this process's environment at them.
  // Throws std::runtime_error when a service does not come up.
  explicit PrivateSession(SessionOptions options = {});
  ~PrivateSession();

  const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
  // A fresh empty folder under the runtime directory.
  std::filesystem::path makeFolder(const std::string& name) const;
  const std::map<std::string, std::string>& env() const { return env_; }

  // Starts a program with this session's environment plus `extraEnv`.
  std::unique_ptr<Process> spawn(const std::vector<std::string>& argv,
                                 const std::map<std::string, std::string>& extraEnv = {},
                                 const std::string& logName = "") const;

  // Restarts PipeWire (and WirePlumber), for tests of a daemon that goes away.
  void stopPipeWire();
  void startPipeWire();

 private:
  void waitForSocket(const std::filesystem::path& path, const char* what);
  SessionOptions options_;
  std::filesystem::path runtimeDir_;
  std::map<std::string, std::string> env_;
  std::map<std::string, std::string> savedEnv_;
  std::unique_ptr<Process> dbus_;
  std::unique_ptr<Process> pipewire_;
  std::unique_ptr<Process> wireplumber_;
  std::unique_ptr<Process> xvfb_;
};

// The folder of the built programs (tovrelle-camera-extension, tovrelle-snap, ...).
std::filesystem::path binaryDir();

}  // namespace tovrelle::test
