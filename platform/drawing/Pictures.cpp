#include "platform/drawing/Pictures.h"

// Placeholder until the drawing layer lands: both pictures are unavailable.
namespace tovrelle::drawing {

frames::PixelBufferRef makeCameraOffFrame(int, int) { return nullptr; }
frames::PixelBufferRef makeNotRunningFrame(int, int) { return nullptr; }

}  // namespace tovrelle::drawing
