#pragma once
#include <chrono>
#include <memory>

#include "platform/camera/VirtualCamera.h"

namespace tovrelle::camera {

struct PipeWireOptions {
  // How often to try again while no PipeWire daemon can be reached.
  std::chrono::milliseconds retryInterval{1000};
};

// The virtual camera as one PipeWire output node ("Video/Source", role
// "Camera") that drives its own graph: every queued frame is one cycle.
// Offers BGRA first, then I420, NV12 and YUY2, all at the stream's size and
// rate. Each frame is written once, from its own layout, straight into the
// client's buffer in the negotiated format; BGRA clients get an opaque
// fourth byte.
// Thread-safe: the node, its stream and the retry timer live on the
// backend's PipeWire loop thread; other threads reach them under the loop's
// lock, and the handlers go to the client queue.
std::shared_ptr<VirtualCamera> makePipeWireVirtualCamera(PipeWireOptions options = {});

}  // namespace tovrelle::camera
