#pragma once
// Aspect-fit of a decoded picture into a camera frame: as large as fits,
// centred, black bars on the two remaining sides.
#include "platform/frames/FrameBuffer.h"
#include "platform/imaging/Decoder.h"

namespace tovrelle::imaging {

// Fills `frame` with black and draws the picture into its fit rectangle
// (frames::aspectFit),
// filtered (bilinear when enlarging, box-averaged when reducing), with
// partly covered edge pixels blended into the bars. False when the picture
// is empty or cannot be drawn; the frame is black then.
bool renderFitted(const Canvas& picture, frames::FrameBuffer& frame);

// A new camera frame with the picture fitted into it: how a library image
// becomes what the camera sends, in the service and in the app's preview
// alike. None when the picture cannot be drawn or memory runs out.
frames::FrameBufferRef fitIntoFrame(const Canvas& picture, int width = frames::kFrameWidth,
                                    int height = frames::kFrameHeight);

}  // namespace tovrelle::imaging
