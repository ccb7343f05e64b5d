#include "extension/CameraDevice.h"

#include "platform/log/Log.h"

namespace tovrelle::extension {

std::optional<std::string> DeviceObject::addStream(const std::shared_ptr<StreamSource>& source) {
  if (!source || !source->streamObject()) return "the stream source has no stream";
  if (stream) return "the device already has a stream";
  stream = source;
  return std::nullopt;
}

std::shared_ptr<CameraDevice> CameraDevice::create(const std::string& localizedName, StreamSource::Dependencies deps) {
  std::shared_ptr<CameraDevice> self(new CameraDevice());
  self->streamSource = StreamSource::create(localizedName, std::move(deps));
  if (!self->streamSource) return nullptr;
  self->device = DeviceObject{localizedName, deviceID(), std::nullopt, nullptr};
  if (auto error = self->device->addStream(self->streamSource))
    log::write(log::Level::Error, {}, {}, log::format("Failed to add stream: %s", error->c_str()));
  return self;
}

DeviceProperties CameraDevice::deviceProperties(const std::set<DeviceProperty>& requested) const {
  DeviceProperties p;
  if (requested.count(DeviceProperty::model)) p.model = kDeviceModel;
  return p;
}

}  // namespace tovrelle::extension
