#pragma once
// Camera permission. Outside a sandbox the system has no camera permission of
// its own: access is authorized. Inside a Flatpak sandbox (/.flatpak-info
// exists) the desktop's Camera portal decides, over the session bus.
// Thread-safe: the status is kept under a lock, so the request's worker
// thread and any reader agree on it.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/capture/CaptureDevices.h"

namespace tovrelle::capture {

class CameraPortal {
 public:
  // `sandboxMarker` is the file whose presence means "sandboxed"; tests point
  // it elsewhere (TOVRELLE_SANDBOX_MARKER does the same for whole programs).
  explicit CameraPortal(std::string sandboxMarker = "");

  bool sandboxed() const { return sandboxed_; }
  // not determined until this process asked; restricted when no portal answers.
  AuthorizationStatus status() const;
  // Asks the portal (once granted, later calls answer at once); the completion
  // runs on a worker thread in the sandbox and inline outside it.
  void requestAccess(std::function<void(bool granted)> completion);
  // A PipeWire connection that shows the cameras the portal allows, or -1.
  int openPipeWireRemote() const;

 private:
  struct State {
    std::mutex mutex;
    AuthorizationStatus status = AuthorizationStatus::notDetermined;
  };
  bool sandboxed_;
  std::shared_ptr<State> state_ = std::make_shared<State>();  // outlives us while a request runs
};

}  // namespace tovrelle::capture
