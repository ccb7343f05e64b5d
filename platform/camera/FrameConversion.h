#pragma once
// Colour values as the virtual camera's YUV clients read them.
#include <cstdint>

namespace tovrelle::camera {

// The BT.601 limited-range values of one colour (for tests and tools).
struct Yuv {
  uint8_t y, u, v;
};
Yuv yuvFromRGB(int r, int g, int b);

}  // namespace tovrelle::camera
