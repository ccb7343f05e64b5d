#pragma once
// Wraps a capture service and notes what discovery does with it: each
// device-list read (one per discovery pass, with what it returned) and each
// notification delivered to subscribers.
#include <atomic>
#include <mutex>

#include "platform/capture/CaptureDevices.h"

namespace tovrelle::test {

class CountingCaptureDevices final : public capture::CaptureDevices {
 public:
  explicit CountingCaptureDevices(std::shared_ptr<capture::CaptureDevices> inner) : inner_(std::move(inner)) {}

  std::atomic<int> listReads{0};
  std::atomic<int> notifications{0};

  std::vector<std::vector<capture::DeviceInfo>> passes() const {
    std::lock_guard lock(mutex_);
    return passes_;
  }

  std::vector<capture::DeviceInfo> devices() override {
    auto list = inner_->devices();
    {
      std::lock_guard lock(mutex_);
      passes_.push_back(list);
    }
    ++listReads;
    return list;
  }
  std::optional<capture::DeviceInfo> deviceWithUniqueId(const std::string& id) override {
    return inner_->deviceWithUniqueId(id);
  }
  std::unique_ptr<capture::Subscription> subscribe(
      std::function<void(capture::DeviceEvent, const capture::DeviceInfo&)> handler) override {
    return inner_->subscribe([this, handler = std::move(handler)](capture::DeviceEvent e, const capture::DeviceInfo& d) {
      ++notifications;
      handler(e, d);
    });
  }
  capture::AuthorizationStatus authorizationStatus() override { return inner_->authorizationStatus(); }
  void requestAccess(std::function<void(bool)> completion) override { inner_->requestAccess(std::move(completion)); }
  capture::InputResult makeInput(const capture::DeviceInfo& d) override { return inner_->makeInput(d); }
  std::unique_ptr<capture::CaptureSession> makeSession() override { return inner_->makeSession(); }

 private:
  std::shared_ptr<capture::CaptureDevices> inner_;
  mutable std::mutex mutex_;
  std::vector<std::vector<capture::DeviceInfo>> passes_;
};

}  // namespace tovrelle::test
