#pragma once
// Reads the camera state from the "Tovrelle" node's properties. Each look
// runs on the backend's own serial queue (a PipeWire round trip can take a
// while) and hands its result to the reply queue.
// Thread-bound (main thread): the calls. A look holds only its reply queue
// and callback, nothing of the feed.
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
