#include "platform/userservice/SystemdUserManager.h"

#include <systemd/sd-bus.h>
#include <cerrno>
#include <cstring>

namespace tovrelle::userservice {
namespace {

constexpr const char* kService = "org.freedesktop.systemd1";
constexpr const char* kPath = "/org/freedesktop/systemd1";
constexpr const char* kInterface = "org.freedesktop.systemd1.Manager";
// Long enough for a busy manager, short enough that a hung one does not
// keep an install starting for long.
constexpr uint64_t kCallTimeoutUsec = 15ull * 1000 * 1000;

// Errors that mean the manager or the bus went away, not that it said no.
constexpr const char* kLostErrors[] = {
    SD_BUS_ERROR_NO_REPLY,
    SD_BUS_ERROR_DISCONNECTED,
    SD_BUS_ERROR_SERVICE_UNKNOWN,
    SD_BUS_ERROR_NAME_HAS_NO_OWNER,
    SD_BUS_ERROR_TIMEOUT,
    SD_BUS_ERROR_NO_SERVER,
    "org.freedesktop.DBus.Error.TimedOut",
};

bool isLostError(const sd_bus_error& error, int r) {
  if (sd_bus_error_is_set(&error)) {
    for (const char* name : kLostErrors)
      if (sd_bus_error_has_name(&error, name)) return true;
    return false;
  }
  // No error reply at all: our own connection failed.
  return r < 0;
}

ManagerCall failure(const char* what, const sd_bus_error& error, int r) {
  ManagerCall call;
  call.outcome = isLostError(error, r) ? ManagerCall::Outcome::lost : ManagerCall::Outcome::refused;
  std::string detail = sd_bus_error_is_set(&error)
                           ? std::string(error.name) + (error.message ? std::string(": ") + error.message : "")
                           : std::string(std::strerror(-r));
  call.description = call.outcome == ManagerCall::Outcome::lost
                         ? std::string("the service manager went away when asked ") + what + " (" + detail + ")"
                         : std::string("the service manager refused ") + what + " (" + detail + ")";
  return call;
}

}  // namespace

Result<std::unique_ptr<SystemdUserManager>> SystemdUserManager::connect() {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0) {
    return Unexpected{std::string("no user bus (") + std::strerror(-r) + ")"};
  }
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                         &error, &reply, "s", kService);
  int owned = 0;
  if (r >= 0) r = sd_bus_message_read(reply, "b", &owned);
  std::string why;
  if (r < 0) {
    why = std::string("the user bus does not answer (") +
          (sd_bus_error_is_set(&error) ? error.name : std::strerror(-r)) + ")";
  } else if (!owned) {
    why = std::string("no ") + kService + " on the user bus";
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  if (r < 0 || !owned) {
    sd_bus_flush_close_unref(bus);
    return Unexpected{why};
  }
  return std::unique_ptr<SystemdUserManager>(new SystemdUserManager(bus));
}

SystemdUserManager::~SystemdUserManager() { sd_bus_flush_close_unref(bus_); }

// One manager method whose reply carries nothing we read.
template <typename... Args>
ManagerCall SystemdUserManager::call(const char* method, const std::string& what, const char* types, Args... args) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus_, kService, kPath, kInterface, method, &error, &reply, types, args...);
  ManagerCall result = r < 0 ? failure(what.c_str(), error, r) : ManagerCall{};
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return result;
}

ManagerCall SystemdUserManager::reload() { return call("Reload", "to reload its units", ""); }

ManagerCall SystemdUserManager::enableUnitFile(const std::string& unit) {
  return call("EnableUnitFiles", "to enable " + unit, "asbb", 1, unit.c_str(), 0, 1);
}

ManagerCall SystemdUserManager::restartUnit(const std::string& unit) {
  return call("RestartUnit", "to start " + unit, "ss", unit.c_str(), "replace");
}

ManagerCall SystemdUserManager::stopUnit(const std::string& unit) {
  return call("StopUnit", "to stop " + unit, "ss", unit.c_str(), "replace");
}

ManagerCall SystemdUserManager::disableUnitFile(const std::string& unit) {
  return call("DisableUnitFiles", "to disable " + unit, "asb", 1, unit.c_str(), 0);
}

ManagerCall SystemdUserManager::unitFileState(const std::string& unit) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus_, kService, kPath, kInterface, "GetUnitFileState", &error, &reply, "s", unit.c_str());
  ManagerCall call;
  if (r < 0) {
    call = failure(("to report the state of " + unit).c_str(), error, r);
    // An unknown unit is an answer, not a refusal.
    if (call.outcome == ManagerCall::Outcome::refused) call = ManagerCall{ManagerCall::Outcome::ok, "not-found", {}};
  } else {
    const char* state = nullptr;
    r = sd_bus_message_read(reply, "s", &state);
    if (r < 0 || !state) {
      call = ManagerCall{ManagerCall::Outcome::refused, {}, "the service manager sent an unreadable unit state"};
    } else {
      call.value = state;
    }
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return call;
}

}  // namespace tovrelle::userservice
