#pragma once
// The one device of the virtual camera: it owns the stream source and
// answers the device properties clients ask for.
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "extension/StreamSource.h"

namespace tovrelle::extension {

enum class DeviceProperty { model };

struct DeviceProperties {
  std::optional<std::string> model;
};

// The device object the provider carries: its name, fixed identifier and the
// stream added to it.
struct DeviceObject {
  std::string localizedName;
  Uuid deviceID;
  std::optional<Uuid> legacyDeviceID;  // none
  std::shared_ptr<StreamSource> stream;

  // Fails (with a reason) for a source without a stream or when the device
  // already carries one: this device has exactly one stream.
  std::optional<std::string> addStream(const std::shared_ptr<StreamSource>& source);
};

class CameraDevice {
 public:
  // None when the stream source cannot be built (its format is refused).
  static std::shared_ptr<CameraDevice> create(const std::string& localizedName, StreamSource::Dependencies deps);

  std::set<DeviceProperty> availableProperties() const { return {DeviceProperty::model}; }
  DeviceProperties deviceProperties(const std::set<DeviceProperty>& requested) const;
  bool setDeviceProperties(const DeviceProperties&) { return true; }

  const std::optional<DeviceObject>& deviceObject() const { return device; }
  const std::shared_ptr<StreamSource>& source() const { return streamSource; }

 private:
  CameraDevice() = default;
  std::optional<DeviceObject> device;
  std::shared_ptr<StreamSource> streamSource;
};

}  // namespace tovrelle::extension
