#include <gtest/gtest.h>

#include <cmath>

#include "platform/drawing/Pictures.h"
#include "tests/drawing/PictureSampling.h"

namespace tovrelle::drawing {
namespace {

using test::Colour;
using test::pixelAt;
using test::pixelAtPoint;

const Colour kBackground{62, 62, 62};
const Colour kIcon{136, 136, 136};

class CameraOffPicture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { frame_ = makeCameraOffFrame(1280, 720); }
  static void TearDownTestSuite() { frame_.reset(); }
  // Geometry in icon units (see the layout) to frame pixels.
  static Colour at(double a, double b) {
    const double s = 511.2, x0 = 384.4, y0 = (720 - s * 487.0 / 511.0) / 2 + s * 9.0 / 511.0;
    return pixelAtPoint(*frame_, x0 + a * s, y0 + b * s);
  }
  static frames::PixelBufferRef frame_;
};
frames::PixelBufferRef CameraOffPicture::frame_;

TEST_F(CameraOffPicture, GroundAndOutlineColoursWhereTheGeometryPutsThem) {
  ASSERT_NE(frame_, nullptr);
  ASSERT_EQ(frame_->width(), 1280);
  ASSERT_EQ(frame_->height(), 720);
  for (auto [x, y] : {std::pair{0, 0}, {1279, 0}, {0, 719}, {1279, 719}}) {
    EXPECT_EQ(pixelAt(*frame_, x, y), kBackground) << x << "," << y;
  }
  // On the left side of the body outline.
  EXPECT_EQ(pixelAt(*frame_, 397, 381), kIcon);

  // Points on the straight parts of the outline, away from the slash.
  struct Sample {
    double a, b;
  };
  const Sample onPath[] = {
      {0.0245, 0.30}, {0.0245, 0.70},                  // left side
      {0.9755, 0.40}, {0.9755, 0.70},                  // right side
      {0.20, 0.8112}, {0.45, 0.8112}, {0.65, 0.8112},  // bottom
      {0.40, 0.0254}, {0.60, 0.0254},                  // top of the bump
      {0.85, 0.1663},                                  // shoulder right of the bump
      {0.7701, 0.3219 + 0.046}, {0.7701 + 0.09, 0.3219 + 0.046},  // window sides
      {0.7701 + 0.045, 0.3219}, {0.7701 + 0.045, 0.3219 + 0.092},
  };
  for (const Sample& p : onPath) EXPECT_EQ(at(p.a, p.b), kIcon) << p.a << "," << p.b;

  // The lens, where the circle is farthest from the slash.
  const double nx = -0.9179, ny = 0.906, nl = std::hypot(nx, ny);
  for (int side : {-1, 1}) {
    EXPECT_EQ(at(0.5 + side * 0.1546 * nx / nl, 0.4736 + side * 0.1546 * ny / nl), kIcon) << side;
  }
  // Between the strokes.
  const Sample ground[] = {
      {0.15, 0.60}, {0.85, 0.60}, {0.30, 0.70}, {0.436, 0.537},  // inside the body and the lens
      {0.80, 0.3219 + 0.046},                                                  // inside the window
      {0.90, 0.08}, {0.50, 0.95}, {0.10, 0.90},                                // outside the body
  };
  for (const Sample& p : ground) EXPECT_EQ(at(p.a, p.b), kBackground) << p.a << "," << p.b;
}

TEST(CameraOffPictureSizes, ImpossibleSizesGiveNoPicture) {
  EXPECT_EQ(makeCameraOffFrame(0, 720), nullptr);
  EXPECT_EQ(makeCameraOffFrame(1280, -1), nullptr);
  EXPECT_EQ(makeNotRunningFrame(0, 0), nullptr);
  EXPECT_EQ(makeNotRunningFrame(100000, 720), nullptr);
}

}  // namespace
}  // namespace tovrelle::drawing
