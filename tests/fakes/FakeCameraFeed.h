#pragma once
// A stand-in for the camera state the service publishes: looks answer with
// the state the test sets, on the queue it gives (or at once).
#include <functional>
#include <memory>

#include "platform/camera/CameraFeed.h"
#include "platform/dispatch/Dispatch.h"

namespace tovrelle::test {

class FakeCameraFeed final : public camera::CameraFeed {
 public:
  explicit FakeCameraFeed(std::shared_ptr<dispatch::Queue> queue = nullptr) : queue_(std::move(queue)) {}

  camera::FeedState state = camera::FeedState::unknown;
  int looks = 0;

  void look(std::function<void(camera::FeedState)> done) override {
    ++looks;
    auto task = [done, s = state] { done(s); };
    if (queue_)
      queue_->async(task);
    else
      task();
  }

 private:
  std::shared_ptr<dispatch::Queue> queue_;
};

}  // namespace tovrelle::test
