#pragma once
// The few calls of the systemd user manager (org.freedesktop.systemd1) that
// installing a service needs, over the user's session bus.
// Reentrant: each instance holds a bus connection of its own, to be used from
// one thread at a time (the systemd backend makes one per call, on its
// worker).
#include <memory>
#include <string>

#include "shared/Result.h"

struct sd_bus;

namespace tovrelle::userservice {

struct ManagerCall {
  enum class Outcome {
    ok,
    refused,  // the manager answered with an error
    lost,     // the bus or the manager went away, or never answered
  };
  Outcome outcome = Outcome::ok;
  std::string value;        // the answer of calls that return text
  std::string description;  // what went wrong, for logs and diagnostics

  bool ok() const { return outcome == Outcome::ok; }
};

class SystemdUserManager {
 public:
  // A connection to a user bus on which the manager's name has an owner, or
  // why there is none.
  static Result<std::unique_ptr<SystemdUserManager>> connect();
  ~SystemdUserManager();
  SystemdUserManager(const SystemdUserManager&) = delete;
  SystemdUserManager& operator=(const SystemdUserManager&) = delete;

  ManagerCall reload();
  ManagerCall enableUnitFile(const std::string& unit);
  ManagerCall restartUnit(const std::string& unit);
  ManagerCall stopUnit(const std::string& unit);
  ManagerCall disableUnitFile(const std::string& unit);
  // "enabled", "disabled", ...; "not-found" when the manager knows no such file.
  ManagerCall unitFileState(const std::string& unit);

 private:
  explicit SystemdUserManager(sd_bus* bus) : bus_(bus) {}
  template <typename... Args>
  ManagerCall call(const char* method, const std::string& what, const char* types, Args... args);
  sd_bus* bus_;
};

}  // namespace tovrelle::userservice
