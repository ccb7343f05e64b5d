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

TEST(FrameDelay, GifControlBlockIsFoundWithOrWithoutTheFileHeader) {
  // Control block (delay 0x0123 = 291 cs), then an image descriptor.
  const std::vector<uint8_t> block{0x21, 0xf9, 0x04, 0x08, 0x23, 0x01, 0x00, 0x00, 0x2c, 0, 0};
  FrameDelays d = gifFrameDelays(block.data(), block.size());
  EXPECT_DOUBLE_EQ(d.gifUnclampedDelay.value_or(-1), 2.91);
  EXPECT_DOUBLE_EQ(d.gifDelay.value_or(-1), 2.91);

  // The first frame: header, screen descriptor with a 2-entry palette, a
  // comment, then the control block.
  std::vector<uint8_t> first{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 1, 2, 3, 4, 5, 6,
                             0x21, 0xfe, 0x02, 'h', 'i', 0x00};
  first.insert(first.end(), block.begin(), block.end());
  d = gifFrameDelays(first.data(), first.size());
  EXPECT_DOUBLE_EQ(d.gifDelay.value_or(-1), 2.91);

  // No control block in front of the image: nothing stated.
  const std::vector<uint8_t> bare{0x2c, 0, 0, 0, 0};
  EXPECT_FALSE(gifFrameDelays(bare.data(), bare.size()).gifDelay.has_value());

  // Cut inside the control block: nothing read past the end.
  for (size_t n = 0; n < 6; ++n) EXPECT_FALSE(gifFrameDelays(block.data(), n).gifDelay.has_value()) << n;
}

TEST(FrameDelay, ApngFrameControlNumeratorOverDenominator) {
  auto fctl = [](uint16_t num, uint16_t den) {
    std::vector<uint8_t> c{0, 0, 0, 26, 'f', 'c', 'T', 'L'};
    std::vector<uint8_t> data(26, 0);
    data[20] = static_cast<uint8_t>(num >> 8);
    data[21] = static_cast<uint8_t>(num);
    data[22] = static_cast<uint8_t>(den >> 8);
    data[23] = static_cast<uint8_t>(den);
    c.insert(c.end(), data.begin(), data.end());
    c.insert(c.end(), {0, 0, 0, 0});  // CRC, not checked here
    return c;
  };
  auto a = fctl(1, 3);
  EXPECT_DOUBLE_EQ(apngFrameDelays(a.data(), a.size()).apngDelay.value_or(-1), 1.0 / 3);
  EXPECT_DOUBLE_EQ(apngFrameDelays(a.data(), a.size()).apngUnclampedDelay.value_or(-1), 1.0 / 3);
  a = fctl(7, 0);  // a zero denominator means hundredths
  EXPECT_DOUBLE_EQ(apngFrameDelays(a.data(), a.size()).apngDelay.value_or(-1), 0.07);
  a = fctl(0, 10);
  EXPECT_DOUBLE_EQ(apngFrameDelays(a.data(), a.size()).apngDelay.value_or(-1), 0.0);
  EXPECT_DOUBLE_EQ(frameDelay(apngFrameDelays(a.data(), a.size())), 0.1);

  // After another chunk; and a chunk whose length runs past the data.
  std::vector<uint8_t> twoChunks{0, 0, 0, 2, 't', 'E', 'X', 't', 'a', 'b', 0, 0, 0, 0};
  const auto b = fctl(5, 10);
  twoChunks.insert(twoChunks.end(), b.begin(), b.end());
  EXPECT_DOUBLE_EQ(apngFrameDelays(twoChunks.data(), twoChunks.size()).apngDelay.value_or(-1), 0.5);
  const std::vector<uint8_t> lying{0xff, 0xff, 0xff, 0xff, 'I', 'D', 'A', 'T', 1, 2, 3};
  EXPECT_FALSE(apngFrameDelays(lying.data(), lying.size()).apngDelay.has_value());
  for (size_t n = 0; n < b.size() - 4; ++n) EXPECT_FALSE(apngFrameDelays(b.data(), n).apngDelay.has_value()) << n;
}

}  // namespace
}  // namespace tovrelle::imaging
