#include "platform/camera/pipewire/PipeWireCameraFeed.h"

#include "platform/camera/pipewire/CameraNodes.h"

namespace tovrelle::camera {

PipeWireCameraFeed::PipeWireCameraFeed(std::shared_ptr<dispatch::Queue> replyQueue)
    : replyQueue_(std::move(replyQueue)), lookQueue_(dispatch::makeSerialQueue("ossel.tovrelle.camerafeed")) {}

void PipeWireCameraFeed::look(std::function<void(FeedState)> done) {
  lookQueue_->async([reply = replyQueue_, done = std::move(done)] {
    FeedState state = FeedState::unknown;
    if (auto nodes = findCameraNodes("Tovrelle", std::chrono::seconds(2)))
      for (const CameraNode& node : *nodes)
        if (node.cameraState) state = parseFeedState(*node.cameraState);
    reply->async([done, state] { done(state); });
  });
}

}  // namespace tovrelle::camera
