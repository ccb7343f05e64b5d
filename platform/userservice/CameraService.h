#pragma once
// The camera service as the installer sees it: install the copy the app
// ships, remove every installed copy, look at what is installed and runs.
// Each call answers exactly once, on the queue the backend was made with.
// The installer calls it from the main thread only.
// The systemd user unit backend and the test fake implement it.
#include <functional>
#include <optional>
#include <string>

#include "platform/userservice/InstalledService.h"

namespace tovrelle::userservice {

// The domain of the camera service's errors, shown before their code.
inline constexpr const char* kErrorDomain = "tovrelle.camera-service";

// Error codes of kErrorDomain; the numbers appear in diagnostics users send.
enum ErrorCode : int {
  kErrorUnknown = 1,
  // The app's copy is missing or names another service.
  kErrorServiceNotFound = 4,
  kErrorServiceMissingIdentifier = 5,
  // The app's copy is damaged or changed while it was copied.
  kErrorValidationFailed = 9,
  // The service manager refused a call.
  kErrorRefused = 10,
  // The service runs (or was started) but no camera of it appeared.
  kErrorNoCamera = 14,
  // Another program already publishes a camera of the same name.
  kErrorCameraTaken = 15,
};

struct Error {
  int code = 0;
  std::string description;
};

// An error of kErrorDomain; an empty description gets the standard one.
Error makeError(int code, std::string description = {});
// The standard description of a kErrorDomain code.
std::string describeErrorCode(int code);

// What a look found.
struct Installed {
  // The version of the copy that starts at login; none when nothing is installed.
  std::optional<ServiceVersion> version;
  // It is registered to start at login and its camera is published now.
  bool running = false;
  bool operator==(const Installed&) const = default;
};

class CameraService {
 public:
  using Done = std::function<void(std::optional<Error> error)>;
  using Looked = std::function<void(std::optional<Installed> installed, std::optional<Error> error)>;

  virtual ~CameraService() = default;
  // Installs the app's copy (replacing any other), has it start at every
  // login and starts it; succeeds once its camera is published.
  virtual void install(Done done) = 0;
  // Stops the service and removes its registration and every installed copy.
  virtual void remove(Done done) = 0;
  // What is installed and whether it runs; no Installed when it cannot tell.
  virtual void look(Looked done) = 0;
};

}  // namespace tovrelle::userservice
