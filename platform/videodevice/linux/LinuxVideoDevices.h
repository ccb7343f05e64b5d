#pragma once
// The video device service on Linux. The kernel's side comes from sysfs and
// the module index under a root folder (the real "/" or a test's tree): a
// loaded module shows as sys/module/v4l2loopback, its devices as
// sys/class/video4linux/videoN with their label in "name" and the module's
// own "max_openers" attribute. The camera service's side comes from its
// PipeWire node. Looks run on a serial queue of their own; loading the module
// runs pkexec as a child process of the Qt main thread. Results go to the
// queue given at construction.
// Thread-bound (main thread): the calls. The look queue reads only the
// options, which are fixed once it is made.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/camera/pipewire/CameraNodes.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/videodevice/VideoDevices.h"

namespace tovrelle::videodevice {

struct LinuxOptions {
  std::filesystem::path root = "/";
  std::string kernelRelease;  // the running kernel's when empty
  // The Tovrelle camera nodes in PipeWire; camera::findCameraNodes when empty.
  std::function<std::optional<std::vector<camera::CameraNode>>()> cameraNodes;
  // What loads the module; pkexec running modprobe with kModprobeArguments when empty.
  std::vector<std::string> loadCommand;
};

// pkexec running modprobe (by its absolute path) with kModprobeArguments.
std::vector<std::string> defaultLoadCommand();

// The kernel's side, read from the files under `root`. Blocks on small reads.
Report readKernelState(const std::filesystem::path& root, const std::string& kernelRelease);

// Adds what the camera service's node says (the first Tovrelle node).
void addServiceOutput(Report& report, const std::vector<camera::CameraNode>& nodes);

// `done` callbacks run on `resultQueue`; loadModule must be called on the Qt
// main thread.
std::shared_ptr<VideoDevices> makeLinuxVideoDevices(LinuxOptions options, std::shared_ptr<dispatch::Queue> resultQueue);

}  // namespace tovrelle::videodevice
