#include "tests/installer/FakeSystemdManager.h"

#include <stdexcept>
#include <systemd/sd-bus.h>

namespace tovrelle::test {

FakeSystemdManager::FakeSystemdManager() {
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

void FakeSystemdManager::setUnitFileState(const std::string& unit, const std::string& state) {
  std::lock_guard lock(mutex_);
  unitFileStates_[unit] = state;
}

int FakeSystemdManager::handle(sd_bus_message* m, void* userdata, sd_bus_error*) {
  return static_cast<FakeSystemdManager*>(userdata)->handleCall(m);
}

int FakeSystemdManager::handleCall(sd_bus_message* m) {
  const std::string method = sd_bus_message_get_member(m);
  std::string call = method;
  std::string unit;
  if (method == "EnableUnitFiles") {
    int runtime = 0, force = 0;
    sd_bus_message_enter_container(m, 'a', "s");
    const char* name = nullptr;
    while (sd_bus_message_read(m, "s", &name) > 0) {
      unit = name;
      call += " " + unit;
    }
    sd_bus_message_exit_container(m);
    sd_bus_message_read(m, "bb", &runtime, &force);
  } else if (method == "RestartUnit") {
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
  if (method == "RestartUnit") return sd_bus_reply_method_return(m, "o", "/org/freedesktop/systemd1/job/7");
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
