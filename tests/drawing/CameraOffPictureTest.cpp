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

TEST_F(CameraOffPicture, SlashCutsTheOutlineWithABackgroundBandOnEachSide) {
  ASSERT_NE(frame_, nullptr);
  const double s = 511.2;
  // The slash runs from (0.0372, 0) to (0.9432, 0.9179); along a row, the
  // perpendicular distance to it grows by |sin| of its angle per pixel.
  const double dx = 0.9432 - 0.0372, dy = 0.9179, len = std::hypot(dx, dy);
  const double perPixel = dy / len;
  const double core = 0.0509 / 2 * s, gap = 0.1252 / 2 * s;
  EXPECT_NEAR(gap - core, 19, 0.5);

  // Along the bottom edge of the body, which the slash crosses at about x 0.838.
  const double rowB = 0.8112;
  const double crossA = 0.0372 + rowB * dx / dy;
  const double x0 = 384.4, y0 = (720 - s * 487.0 / 511.0) / 2 + s * 9.0 / 511.0;
  const int row = static_cast<int>(std::floor(y0 + rowB * s));
  const double crossX = x0 + crossA * s;
  int slashPixels = 0, bandPixels = 0, outlinePixels = 0;
  for (int x = static_cast<int>(crossX - 100); x <= static_cast<int>(crossX + 60); ++x) {
    const double distance = std::fabs(x + 0.5 - crossX) * perPixel;
    const Colour c = pixelAt(*frame_, x, row);
    if (distance < core - 1.5) {
      EXPECT_EQ(c, kIcon) << "slash at x " << x;
      ++slashPixels;
    } else if (distance > core + 1.5 && distance < gap - 1.5) {
      EXPECT_EQ(c, kBackground) << "band at x " << x;
      ++bandPixels;
    } else if (distance > gap + 1.5 && x + 0.5 < x0 + (0.9755 - 0.0978) * s) {
      EXPECT_EQ(c, kIcon) << "outline at x " << x;
      ++outlinePixels;
    }
  }
  EXPECT_GT(slashPixels, 25);
  EXPECT_GT(bandPixels, 40);
  EXPECT_GT(outlinePixels, 20);

  // The lens is cut the same way where the slash passes through its middle.
  const double lensX = x0 + 0.5 * s, lensY = y0 + 0.4736 * s;
  const double ux = dx / len, uy = dy / len;
  for (double along : {-0.1546 * s, 0.1546 * s}) {
    // Just off the slash on both sides, on the circle: background band.
    for (int side : {-1, 1}) {
      const double off = side * (core + gap) / 2;
      const double px = lensX + ux * along - uy * off, py = lensY + uy * along + ux * off;
      EXPECT_EQ(pixelAtPoint(*frame_, px, py), kBackground) << along << " " << side;
    }
    EXPECT_EQ(pixelAtPoint(*frame_, lensX + ux * along, lensY + uy * along), kIcon) << along;
  }
}

TEST_F(CameraOffPicture, NothingIsDrawnOutsideTheIconBox) {
  ASSERT_NE(frame_, nullptr);
  const double s = 511.2, x0 = 384.4, y0 = (720 - s * 487.0 / 511.0) / 2 + s * 9.0 / 511.0;
  // The outline reaches half a line width past the body; the slash's butt
  // ends stick out by half the gap width across its direction.
  const double half = 0.1252 / 2;
  const double left = x0 + (0.0372 - half) * s - 2, right = x0 + (0.9755 + 0.0509 / 2) * s + 2;
  const double top = y0 + (0 - half) * s - 2, bottom = y0 + (0.9179 + half) * s + 2;
  int inside = 0, differing = 0;
  for (int y = 0; y < 720; ++y) {
    for (int x = 0; x < 1280; ++x) {
      const bool inBox = x + 1 > left && x < right && y + 1 > top && y < bottom;
      if (inBox) {
        inside += pixelAt(*frame_, x, y) == kIcon;
      } else if (!(pixelAt(*frame_, x, y) == kBackground)) {
        ++differing;
      }
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_GT(inside, 20000);
}

TEST(CameraOffPictureSizes, ImpossibleSizesGiveNoPicture) {
  EXPECT_EQ(makeCameraOffFrame(0, 720), nullptr);
  EXPECT_EQ(makeCameraOffFrame(1280, -1), nullptr);
  EXPECT_EQ(makeNotRunningFrame(0, 0), nullptr);
  EXPECT_EQ(makeNotRunningFrame(100000, 720), nullptr);
}

}  // namespace
}  // namespace tovrelle::drawing
