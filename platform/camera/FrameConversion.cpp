#include "platform/camera/FrameConversion.h"

namespace tovrelle::camera {

Yuv yuvFromRGB(int r, int g, int b) {
  auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  return {clamp(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16), clamp(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128),
          clamp(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128)};
}

}  // namespace tovrelle::camera
