#include <gtest/gtest.h>

#include "platform/imaging/FrameDelay.h"

namespace tovrelle::imaging {
namespace {

FrameDelays gif(std::optional<double> unclamped, std::optional<double> delay) {
  FrameDelays d;
  d.gifUnclampedDelay = unclamped;
  d.gifDelay = delay;
  return d;
}

TEST(FrameDelay, FirstPositiveValueInOrderWithTheFloorRule) {
  EXPECT_DOUBLE_EQ(frameDelay({}), 0.1);                       // nothing stated
  EXPECT_DOUBLE_EQ(frameDelay(gif(0.0, 0.05)), 0.05);          // unclamped zero is skipped
  EXPECT_DOUBLE_EQ(frameDelay(gif(0.07, 0.05)), 0.07);         // unclamped first
  EXPECT_DOUBLE_EQ(frameDelay(gif(0.01, 0.05)), 0.1);          // first found is below 0.02
  EXPECT_DOUBLE_EQ(frameDelay(gif(std::nullopt, 0.01)), 0.1);  // the 0.01 s GIF
  EXPECT_DOUBLE_EQ(frameDelay(gif(0.02, std::nullopt)), 0.02);  // the floor itself counts
  EXPECT_DOUBLE_EQ(frameDelay(gif(0.0199, std::nullopt)), 0.1);
  EXPECT_DOUBLE_EQ(frameDelay(gif(60.0, 60.0)), 60.0);         // no upper limit
  EXPECT_DOUBLE_EQ(frameDelay(gif(-1.0, 0.04)), 0.04);         // not above zero: skipped

  FrameDelays png;
  png.apngDelay = 0.5;
  EXPECT_DOUBLE_EQ(frameDelay(png), 0.5);
  png.apngUnclampedDelay = 0.25;
  EXPECT_DOUBLE_EQ(frameDelay(png), 0.25);
  png.gifDelay = 0.04;  // a GIF value wins over the PNG ones
  EXPECT_DOUBLE_EQ(frameDelay(png), 0.04);
  png.gifUnclampedDelay = 0.0;
  EXPECT_DOUBLE_EQ(frameDelay(png), 0.04);
}

}  // namespace
}  // namespace tovrelle::imaging
