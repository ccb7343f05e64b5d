#include "tests/userservice/FakeSystemdManager.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tests/support/InstallerTestSupport.h"

namespace tovrelle::test {

FakeSystemdManager::FakeSystemdManager(std::filesystem::path unitFolder) : unitFolder_(std::move(unitFolder)) {
  if (sd_bus_open_user(&bus_) < 0) throw std::runtime_error("no session bus for the stand-in manager");
  constexpr auto handle = [](sd_bus_message* m, void* self, sd_bus_error*) {
    return static_cast<FakeSystemdManager*>(self)->handleCall(m);
  };
  constexpr auto flags = SD_BUS_VTABLE_UNPRIVILEGED;
  static const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Reload", "", "", handle, flags),
      SD_BUS_METHOD("EnableUnitFiles", "asbb", "ba(sss)", handle, flags),
      SD_BUS_METHOD("RestartUnit", "ss", "o", handle, flags),
      SD_BUS_METHOD("StopUnit", "ss", "o", handle, flags),
      SD_BUS_METHOD("DisableUnitFiles", "asb", "a(sss)", handle, flags),
      SD_BUS_METHOD("GetUnitFileState", "s", "s", handle, flags),
      SD_BUS_VTABLE_END,
  };
  if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", vtable,
                               this) < 0 ||
      sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) < 0) {
    sd_bus_flush_close_unref(bus_);
    throw std::runtime_error("the stand-in manager cannot take its name");
  }
  thread_ = std::thread([this] {
    while (!stop_) {
      const int r = sd_bus_process(bus_, nullptr);
      if (vanishNow_) {
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
        gone_ = true;
        return;
      }
      if (r < 0) return;
      if (r == 0) sd_bus_wait(bus_, 50 * 1000);
    }
  });
}

FakeSystemdManager::~FakeSystemdManager() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (bus_) sd_bus_flush_close_unref(bus_);
  stop();
}

// The unquoted value of `key=` in the unit file ("" when absent).
static std::string unitValue(const std::string& text, const std::string& key) {
  const auto at = text.find("\n" + key + "=");
  if (at == std::string::npos) return {};
  std::string value = text.substr(at + key.size() + 2, text.find('\n', at + 1) - at - key.size() - 2);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  return value;
}

void FakeSystemdManager::start(const std::string& unit) {
  stop();
  const std::string text = readFile(unitFolder_ / unit);
  const std::string program = unitValue(text, "ExecStart");
  // Every Environment= line, one assignment each.
  std::vector<std::string> environment;
  for (size_t at = text.find("\nEnvironment="); at != std::string::npos; at = text.find("\nEnvironment=", at + 1))
    environment.push_back(unitValue(text.substr(at), "Environment"));
  if (program.empty()) return;
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (auto& assignment : environment) ::putenv(assignment.data());
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::lock_guard lock(mutex_);
  service_ = pid > 0 ? pid : 0;
}

void FakeSystemdManager::stop() {
  pid_t pid;
  {
    std::lock_guard lock(mutex_);
    pid = std::exchange(service_, 0);
  }
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100 && ::waitpid(pid, nullptr, WNOHANG) == 0; ++i) ::usleep(50 * 1000);
  if (::waitpid(pid, nullptr, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

int FakeSystemdManager::handleCall(sd_bus_message* m) {
  const std::string method = sd_bus_message_get_member(m);
  std::string call = method, unit;
  const char *name = nullptr, *mode = nullptr;
  if (method == "EnableUnitFiles" || method == "DisableUnitFiles") {
    sd_bus_message_enter_container(m, 'a', "s");
    while (sd_bus_message_read(m, "s", &name) > 0) unit = name;
    sd_bus_message_exit_container(m);
    call += " " + unit;  // the flags that follow are not looked at
  } else if (method == "RestartUnit" || method == "StopUnit") {
    sd_bus_message_read(m, "ss", &name, &mode);
    unit = name;
    call += " " + unit + " " + mode;
  } else if (method == "GetUnitFileState") {
    sd_bus_message_read(m, "s", &name);
    unit = name;
    call += " " + unit;
  }

  Behaviour behaviour;
  std::string state;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    behaviour = behaviours_.count(method) ? behaviours_[method] : Behaviour::answer;
    if (behaviour == Behaviour::answer && method == "EnableUnitFiles") unitFileStates_[unit] = "enabled";
    if (behaviour == Behaviour::answer && method == "DisableUnitFiles") unitFileStates_[unit] = "disabled";
    state = unitFileStates_.count(unit) ? unitFileStates_[unit] : "";
  }
  if (behaviour == Behaviour::vanish) {
    vanishNow_ = true;  // no answer; the serving thread leaves the bus
    return 1;
  }
  if (behaviour == Behaviour::refuse)
    return sd_bus_reply_method_errorf(m, "org.freedesktop.systemd1.UnitMasked", "Unit %s is masked.",
                                      unit.empty() ? "(none)" : unit.c_str());
  if (method == "Reload") return sd_bus_reply_method_return(m, "");
  if (method == "EnableUnitFiles") return sd_bus_reply_method_return(m, "ba(sss)", 1, 0);
  if (method == "DisableUnitFiles") return sd_bus_reply_method_return(m, "a(sss)", 0);
  if (method == "RestartUnit" || method == "StopUnit") {
    method == "RestartUnit" ? start(unit) : stop();
    return sd_bus_reply_method_return(m, "o", "/org/freedesktop/systemd1/job/7");
  }
  if (state.empty())
    return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.FileNotFound", "No such file or directory");
  return sd_bus_reply_method_return(m, "s", state.c_str());
}

}  // namespace tovrelle::test
