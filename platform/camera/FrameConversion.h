#pragma once
// The formats the virtual camera offers besides its own BGRA. Many camera
// clients (browsers' WebRTC engines among them) cannot read BGRA, so the
// device writes each frame in the format its client negotiated, converting
// once from the frame's own layout (frames::FrameWriter).
#include <cstddef>
#include <cstdint>

#include "platform/frames/VideoFrame.h"

namespace tovrelle::camera {

enum class WireFormat { BGRA, I420, NV12, YUY2 };

inline constexpr WireFormat kOfferedFormats[] = {WireFormat::BGRA, WireFormat::I420, WireFormat::NV12,
                                                 WireFormat::YUY2};

const char* wireFormatName(WireFormat format);
frames::Layout layoutOf(WireFormat format);

using WireLayout = frames::PackedLayout;
inline WireLayout wireLayout(WireFormat format, int width, int height) {
  return frames::packedLayout(layoutOf(format), width, height);
}

// The BT.601 limited-range values of one colour (for tests and tools).
struct Yuv {
  uint8_t y, u, v;
};
Yuv yuvFromRGB(int r, int g, int b);

}  // namespace tovrelle::camera
