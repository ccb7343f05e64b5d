#include "extension/ExtensionProvider.h"

#include "platform/log/Log.h"

namespace tovrelle::extension {

std::optional<std::string> ProviderObject::addDevice(const std::shared_ptr<CameraDevice>& device) {
  if (!device || !device->deviceObject()) return "the device source has no device";
  if (!devices.empty()) return "the provider already has a device";
  devices.push_back(device);
  return std::nullopt;
}

std::shared_ptr<ExtensionProvider> ExtensionProvider::create(std::shared_ptr<dispatch::Queue> clientQueue,
                                                             StreamSource::Dependencies deps) {
  std::shared_ptr<ExtensionProvider> self(new ExtensionProvider());
  if (!clientQueue) clientQueue = deps.clientQueue;
  if (!clientQueue) clientQueue = dispatch::makeSerialQueue("ossel.tovrelle.client");
  deps.clientQueue = clientQueue;
  self->sink = deps.sink;
  self->provider = ProviderObject{clientQueue, {}};
  self->deviceSource = CameraDevice::create(kDeviceName, std::move(deps));
  if (!self->deviceSource) return nullptr;
  if (auto error = self->provider->addDevice(self->deviceSource))
    log::write(log::Level::Error, {}, {}, log::format("Failed to add device: %s", error->c_str()));
  return self;
}

ProviderProperties ExtensionProvider::providerProperties(const std::set<ProviderProperty>& requested) const {
  ProviderProperties p;
  if (requested.count(ProviderProperty::manufacturer)) p.manufacturer = kManufacturer;
  return p;
}

std::optional<camera::DeviceDescription> describe(const ExtensionProvider& provider) {
  if (!provider.providerObject() || provider.providerObject()->devices.empty()) return std::nullopt;
  const auto& device = provider.providerObject()->devices.front();
  const auto& object = device->deviceObject();
  if (!object || !object->stream || !object->stream->streamObject()) return std::nullopt;
  const auto& stream = *object->stream->streamObject();
  camera::DeviceDescription d;
  d.deviceName = object->localizedName;
  d.streamName = stream.localizedName;
  d.model = device->deviceProperties({DeviceProperty::model}).model.value_or("");
  d.manufacturer = provider.providerProperties({ProviderProperty::manufacturer}).manufacturer.value_or("");
  d.deviceId = object->deviceID.toString();
  d.streamId = stream.streamID.toString();
  d.format = object->stream->formats().front();
  return d;
}

void ExtensionProvider::startService(const ExtensionProvider& provider) {
  auto description = describe(provider);
  if (!description || !provider.sink) {
    log::write(log::Level::Error, {}, {}, "no device to publish");
    return;
  }
  const auto& source = provider.providerObject()->devices.front()->deviceObject()->stream;
  provider.sink->publish(*description, provider.providerObject()->clientQueue, source->handlers());
}

}  // namespace tovrelle::extension
