#include <gtest/gtest.h>

#include "platform/drawing/Pictures.h"
#include "tests/drawing/PictureSampling.h"

namespace tovrelle::drawing {
namespace {

using test::Colour;
using test::pixelAt;
using test::pixelAtPoint;

const Colour kBackground{62, 62, 62};
const Colour kIcon{136, 136, 136};

// A grey camera outline crossed by a slash, centred on a dark grey ground.
TEST(CameraOffPicture, OutlineLensAndGroundWhereTheIconPutsThem) {
  auto frame = makeCameraOffFrame(1280, 720);
  ASSERT_NE(frame, nullptr);
  ASSERT_EQ(frame->width(), 1280);
  ASSERT_EQ(frame->height(), 720);
  // Icon units (0..1 across the 511-pixel icon box) to frame pixels.
  const double s = 511.2, x0 = 384.4, y0 = (720 - s * 487.0 / 511.0) / 2 + s * 9.0 / 511.0;
  auto at = [&](double a, double b) { return pixelAtPoint(*frame, x0 + a * s, y0 + b * s); };

  for (auto [x, y] : {std::pair{0, 0}, {1279, 0}, {0, 719}, {1279, 719}}) {
    EXPECT_EQ(pixelAt(*frame, x, y), kBackground) << x << "," << y;
  }
  // Left and right sides, bottom, the top of the bump, the viewfinder window.
  for (auto [a, b] :
       {std::pair{0.0245, 0.30}, {0.9755, 0.70}, {0.20, 0.8112}, {0.45, 0.8112}, {0.40, 0.0254}, {0.7701, 0.3679}}) {
    EXPECT_EQ(at(a, b), kIcon) << a << "," << b;
  }
  // The lens ring where it is farthest from the slash, on both sides of it.
  EXPECT_EQ(at(0.5 + 0.1546 * 0.7117, 0.4736 - 0.1546 * 0.7025), kIcon);
  EXPECT_EQ(at(0.5 - 0.1546 * 0.7117, 0.4736 + 0.1546 * 0.7025), kIcon);
  // Inside the body, the lens and the window; outside the body.
  for (auto [a, b] : {std::pair{0.15, 0.60}, {0.436, 0.537}, {0.80, 0.3679}, {0.90, 0.08}, {0.50, 0.95}}) {
    EXPECT_EQ(at(a, b), kBackground) << a << "," << b;
  }
}

TEST(CameraOffPicture, ImpossibleSizesGiveNoPicture) {
  EXPECT_EQ(makeCameraOffFrame(0, 720), nullptr);
  EXPECT_EQ(makeCameraOffFrame(1280, -1), nullptr);
  EXPECT_EQ(makeNotRunningFrame(0, 0), nullptr);
  EXPECT_EQ(makeNotRunningFrame(100000, 720), nullptr);
}

}  // namespace
}  // namespace tovrelle::drawing
