#pragma once
// Which "Tovrelle" cameras the PipeWire graph holds right now, and which
// process owns each. Both the camera service (before it publishes its own)
// and the app's install check ask this, so two cameras of one name never
// exist for one user and "installed" means a camera other apps can pick.
// Reentrant: each look has a PipeWire connection of its own.
#include <sys/types.h>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tovrelle::camera {

// The camera service's exit status when another process already publishes
// the camera; its service unit does not restart it for this one.
inline constexpr int kAnotherCameraExitStatus = 3;

struct CameraNode {
  unsigned id = 0;
  std::string name;        // "node.name"
  std::string mediaClass;  // "media.class"
  pid_t pid = 0;           // of the owning client, as PipeWire saw it on the socket; 0 when unknown
  std::string binary;      // that process's executable (its real path), empty when unknown
  // What the camera service says of its /dev/video output (kV4l2StateKey and
  // kV4l2DeviceKey on the node); nothing from a service that predates them.
  std::optional<std::string> v4l2State;
  std::optional<std::string> v4l2Device;
  // What the service says of the physical camera it passes through (kCameraStateKey).
  std::optional<std::string> cameraState;
};

// Node properties the camera service keeps current for its /dev/video output.
inline constexpr const char* kV4l2StateKey = "tovrelle.v4l2.state";
inline constexpr const char* kV4l2DeviceKey = "tovrelle.v4l2.device";
// Node property for the passed-through camera: none, starting, live, stalled, missing, failed.
inline constexpr const char* kCameraStateKey = "tovrelle.camera.state";

// Video/Source nodes named `name`, with their current properties, from two
// round trips to the PipeWire daemon. Nothing (and `why` set) when the daemon cannot be reached or does
// not answer within `timeout`. Blocks the calling thread: never call it on a
// PipeWire loop thread or the UI thread.
std::optional<std::vector<CameraNode>> findCameraNodes(const std::string& name, std::chrono::milliseconds timeout,
                                                       std::string* why = nullptr);

// The executable of a live process, or empty.
std::string processBinary(pid_t pid);

}  // namespace tovrelle::camera
