#pragma once
// Reads the camera state from the "Tovrelle" node's properties. Each look
// runs on the backend's own serial queue (a PipeWire round trip can take a
// while) and hands its result to the reply queue.
#include <memory>

#include "platform/camera/CameraFeed.h"
#include "platform/dispatch/Dispatch.h"

namespace tovrelle::camera {

class PipeWireCameraFeed final : public CameraFeed {
 public:
  explicit PipeWireCameraFeed(std::shared_ptr<dispatch::Queue> replyQueue);
  void look(std::function<void(FeedState)> done) override;

 private:
  std::shared_ptr<dispatch::Queue> replyQueue_;
  std::shared_ptr<dispatch::Queue> lookQueue_;
};

}  // namespace tovrelle::camera
