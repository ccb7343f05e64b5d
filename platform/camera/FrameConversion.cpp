#include "platform/camera/FrameConversion.h"

namespace tovrelle::camera {

const char* wireFormatName(WireFormat format) { return frames::layoutName(layoutOf(format)); }

frames::Layout layoutOf(WireFormat format) {
  switch (format) {
    case WireFormat::BGRA: return frames::Layout::bgra;
    case WireFormat::I420: return frames::Layout::i420;
    case WireFormat::NV12: return frames::Layout::nv12;
    case WireFormat::YUY2: return frames::Layout::yuy2;
  }
  return frames::Layout::bgra;
}

Yuv yuvFromRGB(int r, int g, int b) {
  auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  return {clamp(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16), clamp(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128),
          clamp(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128)};
}

}  // namespace tovrelle::camera
