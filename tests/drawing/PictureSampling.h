#pragma once
// Reading pixels back out of a BGRA frame for the picture tests.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ostream>

#include "platform/frames/FrameBuffer.h"

namespace tovrelle::test {

struct Colour {
  int r, g, b;
  bool operator==(const Colour& o) const { return r == o.r && g == o.g && b == o.b; }
  bool near(const Colour& o, int tolerance) const {
    return std::abs(r - o.r) <= tolerance && std::abs(g - o.g) <= tolerance && std::abs(b - o.b) <= tolerance;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Colour& c) {
  return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

inline Colour pixelAt(const frames::FrameBuffer& buffer, int x, int y) {
  const uint8_t* p = buffer.row(y) + static_cast<size_t>(x) * 4;
  return {p[2], p[1], p[0]};
}

// The pixel whose square contains the geometric point (x, y).
inline Colour pixelAtPoint(const frames::FrameBuffer& buffer, double x, double y) {
  return pixelAt(buffer, static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)));
}

}  // namespace tovrelle::test
