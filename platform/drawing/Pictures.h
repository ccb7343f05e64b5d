#pragma once
// The two pictures the extension draws itself, 1280x720 BGRA.
// Reentrant: each call draws into a buffer of its own.
#include "platform/frames/FrameBuffer.h"

namespace tovrelle::drawing {

// A camera outline with a slash through it, centred on grey; none on failure.
frames::FrameBufferRef makeCameraOffFrame(int width, int height);
// "Tovrelle" above "Launch the app to start streaming." on a dark ground.
frames::FrameBufferRef makeNotRunningFrame(int width, int height);

}  // namespace tovrelle::drawing
