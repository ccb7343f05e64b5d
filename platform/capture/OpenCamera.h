#pragma once
// Opening a camera for capture, the same way in the service and in the app's
// preview: a session asking for the output's size, the camera as its input,
// one BGRA output whose frames and interruption go to the caller's queue,
// started. Model code may include this header (it only uses the interface).
// Reentrant: each call opens a session of its own.
#include <functional>
#include <memory>
#include <string>

#include "platform/capture/CaptureDevices.h"

namespace tovrelle::capture {

struct CameraRequest {
  int width = frames::kFrameWidth;  // the size the frames are shown at
  int height = frames::kFrameHeight;
  std::shared_ptr<dispatch::Queue> queue;  // where the callbacks run
  std::function<void(const CapturedFrame&)> onFrame;
  std::function<void(const std::string& reason)> onInterrupted;
};

struct OpenedCamera {
  std::shared_ptr<CaptureSession> session;  // running; none on failure
  std::shared_ptr<VideoOutput> output;
  // Where it failed: no session to be had, the camera could not be opened,
  // the session refused its input or output, or the stream stopped at once.
  enum class Failure { none, noSession, input, refused, stopped };
  Failure failure = Failure::none;
  std::string error;        // why, in words
  bool deviceGone = false;  // the camera is not attached (any more)
};

// Call on the capture queue (startRunning blocks until the stream runs or fails).
OpenedCamera openCamera(CaptureDevices& devices, const DeviceInfo& device, CameraRequest request);

}  // namespace tovrelle::capture
