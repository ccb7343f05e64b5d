#include <gtest/gtest.h>

#include <cstring>

#include "platform/imaging/Fit.h"
#include "tests/imaging/ImagingTestSupport.h"

namespace tovrelle::imaging {
namespace {

using namespace test;

void expectRect(FitRect r, double x, double y, double w, double h) {
  EXPECT_NEAR(r.x, x, 1e-9);
  EXPECT_NEAR(r.y, y, 1e-9);
  EXPECT_NEAR(r.width, w, 1e-9);
  EXPECT_NEAR(r.height, h, 1e-9);
}

TEST(AspectFit, LargestCentredRectangleThatFits) {
  expectRect(aspectFit(1000, 1000, 1280, 720), 280, 0, 720, 720);  // bars left and right
  expectRect(aspectFit(1920, 400, 1280, 720), 0, (720 - 800.0 / 3) / 2, 1280, 800.0 / 3);
  expectRect(aspectFit(640, 360, 1280, 720), 0, 0, 1280, 720);  // scaled up
  expectRect(aspectFit(10, 1000, 1280, 720), 636.4, 0, 7.2, 720);
  expectRect(aspectFit(0, 10, 1280, 720), 0, 0, 0, 0);
}

Canvas halves(int w, int h, Rgb8 left, Rgb8 right) {
  Canvas c;
  c.resize(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = c.pixels.data() + static_cast<size_t>(y) * c.stride + static_cast<size_t>(x) * 4;
      const Rgb8& rgb = x < w / 2 ? left : right;
      p[0] = static_cast<uint8_t>(rgb.b);
      p[1] = static_cast<uint8_t>(rgb.g);
      p[2] = static_cast<uint8_t>(rgb.r);
      p[3] = 255;
    }
  }
  return c;
}

TEST(RenderFitted, SmallPictureIsEnlargedSmoothly) {
  const Canvas picture = halves(2, 1, kBlack, kWhite);
  auto frame = frames::makePixelBuffer(1280, 720);
  ASSERT_TRUE(frame);
  ASSERT_TRUE(renderFitted(picture, *frame));
  // A 2 x 1 picture fills 1280 x 640: a ramp through the middle, not a step.
  EXPECT_EQ(pixel(*frame, 10, 360), kBlack);
  EXPECT_EQ(pixel(*frame, 1270, 360), kWhite);
  const Rgb8 middle = pixel(*frame, 640, 360);
  EXPECT_GT(middle.g, 60);
  EXPECT_LT(middle.g, 195);
}

TEST(RenderFitted, EmptyPictureLeavesABlackFrame) {
  auto frame = frames::makePixelBuffer(64, 36);
  std::memset(frame->data(), 0x77, frame->byteCount());
  EXPECT_FALSE(renderFitted(Canvas{}, *frame));
  EXPECT_EQ(pixel(*frame, 10, 10), kBlack);
}

}  // namespace
}  // namespace tovrelle::imaging
