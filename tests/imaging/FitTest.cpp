#include <gtest/gtest.h>

#include <cstring>

#include "platform/imaging/Fit.h"
#include "tests/imaging/ImagingTestSupport.h"

namespace tovrelle::imaging {
namespace {

using namespace test;

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
