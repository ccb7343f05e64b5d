#pragma once
// The extension's provider: it owns the one camera device, answers the
// provider properties and, through startService, publishes the device on the
// virtual camera layer.
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "extension/CameraDevice.h"

namespace tovrelle::extension {

enum class ProviderProperty { manufacturer };

struct ProviderProperties {
  std::optional<std::string> manufacturer;
};

// The provider object: the queue on which client requests reach the sources
// and the devices added to it.
struct ProviderObject {
  std::shared_ptr<dispatch::Queue> clientQueue;
  std::vector<std::shared_ptr<CameraDevice>> devices;

  // The virtual camera layer publishes one device; a second, or a device
  // without its device object, is refused with a reason.
  std::optional<std::string> addDevice(const std::shared_ptr<CameraDevice>& device);
};

class ExtensionProvider {
 public:
  // `clientQueue` none means a queue of its own ("ossel.tovrelle.client").
  // None when the device cannot be built; the process must then stop.
  static std::shared_ptr<ExtensionProvider> create(std::shared_ptr<dispatch::Queue> clientQueue,
                                                   StreamSource::Dependencies deps);

  // Publishes the provider's device and stream; client start and stop
  // requests then arrive on the client queue.
  static void startService(const ExtensionProvider& provider);

  bool connectClient(const std::string&) { return true; }
  void disconnectClient(const std::string&) {}
  std::set<ProviderProperty> availableProperties() const { return {ProviderProperty::manufacturer}; }
  ProviderProperties providerProperties(const std::set<ProviderProperty>& requested) const;
  bool setProviderProperties(const ProviderProperties&) { return true; }

  const std::optional<ProviderObject>& providerObject() const { return provider; }
  const std::shared_ptr<CameraDevice>& device() const { return deviceSource; }

 private:
  ExtensionProvider() = default;
  std::optional<ProviderObject> provider;
  std::shared_ptr<CameraDevice> deviceSource;
  std::shared_ptr<camera::VirtualCamera> sink;
};

// What the device layer publishes for this provider: names, model and
// manufacturer from the sources' property answers, the fixed identifiers and
// the stream format. None when the provider has no device with a stream.
std::optional<camera::DeviceDescription> describe(const ExtensionProvider& provider);

}  // namespace tovrelle::extension
