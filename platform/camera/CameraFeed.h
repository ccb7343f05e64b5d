#pragma once
// What the camera service says of the physical camera it passes through in
// camera mode, as the app reads it. The app's model depends on this
// interface only; the PipeWire backend and the test fake implement it.
// Thread-bound (main thread): the calls; the answer comes on the reply queue.
#include <functional>
#include <string_view>

namespace tovrelle::camera {

enum class FeedState {
  unknown,   // no service, or one that does not say
  none,      // not in camera mode
  starting,  // opening the camera
  live,      // frames arrive
  stalled,   // attached, but no frame for a second or more
  missing,   // no camera attached, or it went away
  failed,    // attached, but it cannot be opened
};

// The service's spelling ("stalled", ...); unknown for anything else.
inline FeedState parseFeedState(std::string_view text) {
  if (text == "none") return FeedState::none;
  if (text == "starting") return FeedState::starting;
  if (text == "live") return FeedState::live;
  if (text == "stalled") return FeedState::stalled;
  if (text == "missing") return FeedState::missing;
  if (text == "failed") return FeedState::failed;
  return FeedState::unknown;
}

class CameraFeed {
 public:
  virtual ~CameraFeed() = default;
  // Looks without blocking the caller; `done` runs later on the queue the
  // backend was made with.
  virtual void look(std::function<void(FeedState)> done) = 0;
};

}  // namespace tovrelle::camera
