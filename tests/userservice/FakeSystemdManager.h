#pragma once
// A stand-in for the systemd user manager on a private session bus: it owns
// org.freedesktop.systemd1, answers the Manager calls the installer's backend
// makes and records each one. Like the real one it runs a unit's ExecStart
// (with its Environment) on RestartUnit and stops it on StopUnit. Per method
// it can answer, refuse with a D-Bus error, or drop off the bus.
#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovrelle::test {

class FakeSystemdManager {
 public:
  enum class Behaviour { answer, refuse, vanish };

  // Connects to the session bus of the current environment; unit files are
  // read from `unitFolder`.
  explicit FakeSystemdManager(std::filesystem::path unitFolder);
  ~FakeSystemdManager();

  void setBehaviour(const std::string& method, Behaviour behaviour) {
    std::lock_guard lock(mutex_);
    behaviours_[method] = behaviour;
  }
  // "Reload", "EnableUnitFiles <unit>", "RestartUnit <unit> <mode>", "StopUnit <unit> <mode>",
  // "DisableUnitFiles <unit>", "GetUnitFileState <unit>".
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }
  bool connected() const { return !gone_; }
  // The main process of the running unit, or 0.
  pid_t mainPid() const {
    std::lock_guard lock(mutex_);
    return service_;
  }

 private:
  int handleCall(sd_bus_message* m);
  void start(const std::string& unit);
  void stop();

  std::filesystem::path unitFolder_;
  sd_bus* bus_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false}, gone_{false};
  bool vanishNow_ = false;
  mutable std::mutex mutex_;
  std::map<std::string, Behaviour> behaviours_;
  std::map<std::string, std::string> unitFileStates_;
  std::vector<std::string> calls_;
  pid_t service_ = 0;
};

}  // namespace tovrelle::test
