#include "tests/installer/FakeSystemdManager.h"

#include <csignal>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace tovrelle::test {

FakeSystemdManager::FakeSystemdManager(std::filesystem::path unitFolder) : unitFolder_(std::move(unitFolder)) {
  if (sd_bus_open_user(&bus_) < 0) throw std::runtime_error("no session bus for the stand-in manager");
  static const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Reload", "", "", handle,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("EnableUnitFiles", "asbb", "ba(sss)",
                    handle,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("RestartUnit", "ss", "o",
                    handle,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("StopUnit", "ss", "o", handle, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("DisableUnitFiles", "asb", "a(sss)", handle, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("GetUnitFileState", "s", "s",
                    handle,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };
  if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                               vtable, this) < 0 ||
      sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) < 0) {
    sd_bus_flush_close_unref(bus_);
    throw std::runtime_error("the stand-in manager cannot take its name");
  }
  thread_ = std::thread([this] { serve(); });
}

FakeSystemdManager::~FakeSystemdManager() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (bus_) sd_bus_flush_close_unref(bus_);
  stop();
}

pid_t FakeSystemdManager::mainPid() const {
  std::lock_guard lock(mutex_);
  return service_;
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
  std::ifstream in(unitFolder_ / unit);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string program = unitValue(text, "ExecStart");
  const std::string environment = unitValue(text, "Environment");
  if (program.empty()) return;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!environment.empty()) ::putenv(const_cast<char*>(environment.c_str()));
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
    pid = service_;
    service_ = 0;
  }
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100 && ::waitpid(pid, nullptr, WNOHANG) == 0; ++i) ::usleep(50 * 1000);
  if (::waitpid(pid, nullptr, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

void FakeSystemdManager::setBehaviour(const std::string& method, Behaviour behaviour) {
  std::lock_guard lock(mutex_);
  behaviours_[method] = behaviour;
}

std::vector<std::string> FakeSystemdManager::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void FakeSystemdManager::clearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

int FakeSystemdManager::handle(sd_bus_message* m, void* userdata, sd_bus_error*) {
  return static_cast<FakeSystemdManager*>(userdata)->handleCall(m);
}

int FakeSystemdManager::handleCall(sd_bus_message* m) {
  const std::string method = sd_bus_message_get_member(m);
  std::string call = method;
  std::string unit;
  if (method == "EnableUnitFiles" || method == "DisableUnitFiles") {
    int runtime = 0, force = 0;
    sd_bus_message_enter_container(m, 'a', "s");
    const char* name = nullptr;
    while (sd_bus_message_read(m, "s", &name) > 0) {
      unit = name;
      call += " " + unit;
    }
    sd_bus_message_exit_container(m);
    if (method == "EnableUnitFiles") {
      sd_bus_message_read(m, "bb", &runtime, &force);
    } else {
      sd_bus_message_read(m, "b", &runtime);
    }
  } else if (method == "RestartUnit" || method == "StopUnit") {
    const char *name = nullptr, *mode = nullptr;
    sd_bus_message_read(m, "ss", &name, &mode);
    unit = name;
    call += std::string(" ") + name + " " + mode;
  } else if (method == "GetUnitFileState") {
    const char* name = nullptr;
    sd_bus_message_read(m, "s", &name);
    unit = name;
    call += std::string(" ") + name;
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
    vanishNow_ = true;  // no answer; serve() leaves the bus
    return 1;
  }
  if (behaviour == Behaviour::refuse)
    return sd_bus_reply_method_errorf(m, "org.freedesktop.systemd1.UnitMasked", "Unit %s is masked.",
                                      unit.empty() ? "(none)" : unit.c_str());
  if (method == "Reload") return sd_bus_reply_method_return(m, "");
  if (method == "EnableUnitFiles") return sd_bus_reply_method_return(m, "ba(sss)", 1, 0);
  if (method == "DisableUnitFiles") return sd_bus_reply_method_return(m, "a(sss)", 0);
  if (method == "RestartUnit" || method == "StopUnit") {
    if (method == "RestartUnit") {
      start(unit);
    } else {
      stop();
    }
    return sd_bus_reply_method_return(m, "o", "/org/freedesktop/systemd1/job/7");
  }
  if (state.empty())
    return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.FileNotFound", "No such file or directory");
  return sd_bus_reply_method_return(m, "s", state.c_str());
}

void FakeSystemdManager::serve() {
  while (!stop_) {
    int r = sd_bus_process(bus_, nullptr);
    if (vanishNow_) {
      sd_bus_flush_close_unref(bus_);
      bus_ = nullptr;
      gone_ = true;
      return;
    }
    if (r > 0) continue;
    if (r < 0) return;
    sd_bus_wait(bus_, 50 * 1000);
  }
}

}  // namespace tovrelle::test
