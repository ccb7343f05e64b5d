#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/drawing/Pictures.h"
#include "tests/drawing/PictureSampling.h"

namespace tovrelle::drawing {
namespace {

using test::Colour;
using test::pixelAt;

// (0.1, 0.1, 0.12) in 8 bits.
const Colour kGround{26, 26, 31};

struct InkBox {
  int top = -1, bottom = -1, left = 1 << 30, right = -1;
  int brightest = 0;
  double centreX() const { return (left + right + 1) / 2.0; }
};

// Rows with ink (pixels away from the ground colour), grouped into runs
// separated by empty rows.
std::vector<InkBox> inkLines(const frames::FrameBuffer& frame) {
  std::vector<InkBox> lines;
  bool inLine = false;
  for (int y = 0; y < frame.height(); ++y) {
    bool rowHasInk = false;
    for (int x = 0; x < frame.width(); ++x) {
      const Colour c = pixelAt(frame, x, y);
      if (c.near(kGround, 1)) continue;
      if (!inLine) {
        lines.push_back({});
        lines.back().top = y;
        inLine = true;
      }
      InkBox& box = lines.back();
      rowHasInk = true;
      box.bottom = y;
      box.left = std::min(box.left, x);
      box.right = std::max(box.right, x);
      box.brightest = std::max(box.brightest, c.g);
    }
    if (!rowHasInk) inLine = false;
  }
  return lines;
}

TEST(NotRunningPicture, TitleAboveSubtitleBothCentredOnTheDarkGround) {
  auto frame = makeNotRunningFrame(1280, 720);
  ASSERT_NE(frame, nullptr);
  for (auto [x, y] : {std::pair{0, 0}, {1279, 0}, {0, 719}, {1279, 719}, {640, 40}, {20, 360}}) {
    EXPECT_TRUE(pixelAt(*frame, x, y).near(kGround, 1)) << pixelAt(*frame, x, y) << " at " << x << "," << y;
  }

  const std::vector<InkBox> lines = inkLines(*frame);
  ASSERT_EQ(lines.size(), 2u);
  const InkBox& title = lines[0];
  const InkBox& subtitle = lines[1];

  // The first line from the top is the title: full white, larger type and a
  // shorter text than the 75 % subtitle.
  EXPECT_GE(title.brightest, 250);
  EXPECT_GE(subtitle.brightest, 185);
  EXPECT_LE(subtitle.brightest, 205);
  EXPECT_GT(title.bottom - title.top, 30);
  EXPECT_LT(title.right - title.left, subtitle.right - subtitle.left);
  EXPECT_LT(title.bottom, subtitle.top);
  EXPECT_GE(subtitle.top - title.bottom, 24);

  // Both lines centred horizontally, the pair centred vertically.
  EXPECT_NEAR(title.centreX(), 640, 4);
  EXPECT_NEAR(subtitle.centreX(), 640, 4);
  EXPECT_NEAR((title.top + subtitle.bottom + 1) / 2.0, 360, 16);
  EXPECT_GT(title.top, 250);
  EXPECT_LT(subtitle.bottom, 470);
}

}  // namespace
}  // namespace tovrelle::drawing
