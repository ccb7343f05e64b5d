#pragma once
#include <filesystem>
#include <memory>

#include "platform/camera/v4l2/LoopbackPort.h"

namespace tovrelle::camera::v4l2 {

struct V4l2Paths {
  std::filesystem::path sysClass = "/sys/class/video4linux";
  std::filesystem::path dev = "/dev";
  std::filesystem::path proc = "/proc";
};

// The port over the kernel's v4l2loopback module. It writes only to a device
// whose name is the label, whose node is a plain character device matching
// what sysfs says, and whose driver answers as "v4l2 loopback". Readers come
// from the module's client-usage events where the module sends them, else
// from inotify open/close events on the node, counted from a look at who
// holds it in /proc.
// Thread-bound like the port it is (the loopback output's thread), except
// wake(), which only writes to an eventfd.
std::unique_ptr<LoopbackPort> makeV4l2LoopbackPort(V4l2Paths paths = {});

}  // namespace tovrelle::camera::v4l2
