#pragma once
// The /dev/video side of the camera: whether the v4l2loopback kernel module
// is installed and loaded, which V4L2 devices carry the Tovrelle label or
// belong to the module, what the camera service says of its output to that
// device, and loading the module now with the administrator's consent. The
// app's model depends on this interface only; the Linux backend and the test
// fake implement it.
// Thread-bound (main thread): the calls; `done` runs on the backend's result
// queue.
#include <functional>
#include <string>
#include <vector>

namespace tovrelle::videodevice {

// The card label of the one device the camera service writes to.
inline constexpr const char* kDeviceLabel = "Tovrelle";

// The command that loads the module with Tovrelle's device, as the package's
// modprobe configuration would at boot.
inline constexpr const char* kModprobeArguments = "v4l2loopback devices=1 exclusive_caps=1 card_label=Tovrelle";

// A V4L2 device as the kernel lists it.
struct Device {
  std::string node;       // "/dev/video4"
  std::string label;      // its card label
  bool loopback = false;  // made by v4l2loopback

  bool operator==(const Device&) const = default;
};

// What the camera service reports of its output to the device.
enum class ServiceOutput { unknown, disabled, noDevice, refused, busy, failed, ready, reading };

// The service's spelling of `output` ("no-device", ...); unknown for anything else.
ServiceOutput parseServiceOutput(const std::string& text);

struct Report {
  bool moduleInstalled = false;  // for the running kernel
  bool moduleLoaded = false;
  // The module's control device exists: devices can be added while it is loaded.
  bool canAddDevices = false;
  // Devices labelled Tovrelle and every loopback device, by node name.
  std::vector<Device> devices;
  // A Tovrelle camera is in PipeWire; what its service says of the device.
  bool serviceRunning = false;
  ServiceOutput output = ServiceOutput::unknown;
  std::string outputDevice;  // as the service names it; may be empty

  bool operator==(const Report&) const = default;
};

enum class LoadOutcome { loaded, cancelled, failed };

struct LoadResult {
  LoadOutcome outcome = LoadOutcome::failed;
  std::string message;  // for failed: what went wrong, for the user
};

class VideoDevices {
 public:
  virtual ~VideoDevices() = default;
  // Looks at the system without blocking the caller; `done` runs later on the
  // queue the backend was made with.
  virtual void look(std::function<void(Report)> done) = 0;
  // Loads the module with Tovrelle's device through the desktop's
  // administrator prompt; `done` runs on the same queue once it ends.
  virtual void loadModule(std::function<void(LoadResult)> done) = 0;
};

}  // namespace tovrelle::videodevice
