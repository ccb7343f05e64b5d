#include "platform/capture/pipewire/PipeWireCaptureDevices.h"

// Placeholder until the PipeWire capture backend lands: no cameras.
namespace tovrelle::capture {
namespace {

class NoCameras final : public CaptureDevices {
 public:
  std::vector<DeviceInfo> devices() override { return {}; }
  std::optional<DeviceInfo> deviceWithUniqueId(const std::string&) override { return std::nullopt; }
  std::unique_ptr<Subscription> subscribe(std::function<void(DeviceEvent, const DeviceInfo&)>) override {
    return std::make_unique<Subscription>();
  }
  AuthorizationStatus authorizationStatus() override { return AuthorizationStatus::authorized; }
  void requestAccess(std::function<void(bool)> completion) override { completion(true); }
  InputResult makeInput(const DeviceInfo& device) override {
    return {nullptr, "no capture backend for " + device.localizedName};
  }
  std::unique_ptr<CaptureSession> makeSession() override { return nullptr; }
};

}  // namespace

std::shared_ptr<CaptureDevices> makePipeWireCaptureDevices() { return std::make_shared<NoCameras>(); }

}  // namespace tovrelle::capture
