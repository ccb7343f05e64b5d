// What a YUV client receives: the conversion of BGRA frames into the offered
// formats, checked against BT.601 limited-range reference colours.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/camera/FrameConversion.h"

using namespace tovrelle;
using namespace tovrelle::camera;

namespace {

struct Rgb {
  uint8_t r, g, b;
};

// Reference values of BT.601 studio range for the primaries.
struct Reference {
  Rgb rgb;
  Yuv yuv;
} const kReferences[] = {
    {{0, 0, 0}, {16, 128, 128}},     {{255, 255, 255}, {235, 128, 128}}, {{255, 0, 0}, {82, 90, 240}},
    {{0, 255, 0}, {144, 54, 34}},    {{0, 0, 255}, {41, 240, 110}},      {{255, 255, 0}, {210, 16, 146}},
    {{128, 128, 128}, {126, 128, 128}},
};

void setPixel(frames::PixelBuffer& f, int x, int y, Rgb c) {
  uint8_t* p = f.row(y) + 4 * x;
  p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 0xAB;
}

// Four quadrants: red, green, blue, white.
frames::PixelBufferRef quadrants() {
  auto f = frames::makePixelBuffer(1280, 720);
  const Rgb q[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  for (int y = 0; y < 720; ++y)
    for (int x = 0; x < 1280; ++x) setPixel(*f, x, y, q[(y >= 360) * 2 + (x >= 640)]);
  return f;
}

TEST(FrameConversion, ReferenceColoursConvertToTheirBT601Values) {
  for (const auto& ref : kReferences) {
    const Yuv got = yuvFromRGB(ref.rgb.r, ref.rgb.g, ref.rgb.b);
    EXPECT_NEAR(got.y, ref.yuv.y, 1) << int(ref.rgb.r) << "," << int(ref.rgb.g) << "," << int(ref.rgb.b);
    EXPECT_NEAR(got.u, ref.yuv.u, 1);
    EXPECT_NEAR(got.v, ref.yuv.v, 1);
  }
}

TEST(FrameConversion, I420PlanesOfAQuadrantPattern) {
  auto frame = quadrants();
  const WireLayout l = wireLayout(WireFormat::I420, 1280, 720);
  EXPECT_EQ(l.planes, 3);
  EXPECT_EQ(l.offset[1], 1280u * 720u);
  EXPECT_EQ(l.offset[2], 1280u * 720u + 640u * 360u);
  EXPECT_EQ(l.size, 1280u * 720u * 3u / 2u);
  std::vector<uint8_t> out(l.size + 64, 0xEE);
  writeFrame(*frame, WireFormat::I420, out.data());
  EXPECT_EQ(out[l.size], 0xEE) << "nothing written past the frame";

  const Yuv expected[4] = {yuvFromRGB(255, 0, 0), yuvFromRGB(0, 255, 0), yuvFromRGB(0, 0, 255),
                           yuvFromRGB(255, 255, 255)};
  for (int qy = 0; qy < 2; ++qy)
    for (int qx = 0; qx < 2; ++qx) {
      const Yuv e = expected[qy * 2 + qx];
      // Every sample of the quadrant, luma and both chroma planes.
      for (int y = qy * 360; y < qy * 360 + 360; y += 7)
        for (int x = qx * 640; x < qx * 640 + 640; x += 5) ASSERT_EQ(out[y * 1280 + x], e.y) << x << "," << y;
      for (int y = qy * 180; y < qy * 180 + 180; ++y)
        for (int x = qx * 320; x < qx * 320 + 320; ++x) {
          ASSERT_EQ(out[l.offset[1] + y * 640 + x], e.u) << x << "," << y;
          ASSERT_EQ(out[l.offset[2] + y * 640 + x], e.v) << x << "," << y;
        }
    }
  EXPECT_EQ(out[0], 82);
  EXPECT_EQ(out[l.offset[1]], 90);
  EXPECT_EQ(out[l.offset[2]], 240);
}

TEST(FrameConversion, ChromaIsTheMeanOfEachTwoByTwoBlock) {
  auto frame = frames::makePixelBuffer(4, 2);
  // Left block: red, blue over blue, red. Right block: a black/white checker.
  setPixel(*frame, 0, 0, {255, 0, 0});
  setPixel(*frame, 1, 0, {0, 0, 255});
  setPixel(*frame, 0, 1, {0, 0, 255});
  setPixel(*frame, 1, 1, {255, 0, 0});
  setPixel(*frame, 2, 0, {0, 0, 0});
  setPixel(*frame, 3, 0, {255, 255, 255});
  setPixel(*frame, 2, 1, {255, 255, 255});
  setPixel(*frame, 3, 1, {0, 0, 0});
  std::vector<uint8_t> i420(wireLayout(WireFormat::I420, 4, 2).size);
  writeFrame(*frame, WireFormat::I420, i420.data());
  // Luma stays per pixel.
  EXPECT_EQ(i420[0], 82);
  EXPECT_EQ(i420[1], 41);
  EXPECT_EQ(i420[2], 16);
  EXPECT_EQ(i420[3], 235);
  // The mean of red and blue is (127.5, 0, 127.5): Cb 165, Cr 175.
  EXPECT_EQ(i420[8], 165);
  EXPECT_EQ(i420[10], 175);
  // Black and white average to grey: no colour.
  EXPECT_EQ(i420[9], 128);
  EXPECT_EQ(i420[11], 128);

  std::vector<uint8_t> nv12(wireLayout(WireFormat::NV12, 4, 2).size);
  writeFrame(*frame, WireFormat::NV12, nv12.data());
  EXPECT_EQ(std::memcmp(nv12.data(), i420.data(), 8), 0) << "same luma";
  EXPECT_EQ(nv12[8], 165);
  EXPECT_EQ(nv12[9], 175);
  EXPECT_EQ(nv12[10], 128);
  EXPECT_EQ(nv12[11], 128);

  std::vector<uint8_t> yuy2(wireLayout(WireFormat::YUY2, 4, 2).size);
  writeFrame(*frame, WireFormat::YUY2, yuy2.data());
  // Y0 U Y1 V per horizontal pair, chroma from that pair alone.
  EXPECT_EQ(std::vector<uint8_t>(yuy2.begin(), yuy2.begin() + 8),
            (std::vector<uint8_t>{82, 165, 41, 175, 16, 128, 235, 128}));
  EXPECT_EQ(std::vector<uint8_t>(yuy2.begin() + 8, yuy2.end()),
            (std::vector<uint8_t>{41, 165, 82, 175, 235, 128, 16, 128}));
}

TEST(FrameConversion, OddSizesRepeatTheLastColumnAndRow) {
  auto frame = frames::makePixelBuffer(3, 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) setPixel(*frame, x, y, x == 2 || y == 2 ? Rgb{0, 255, 0} : Rgb{0, 0, 0});
  const WireLayout l = wireLayout(WireFormat::I420, 3, 3);
  EXPECT_EQ(l.size, 9u + 4u + 4u);
  std::vector<uint8_t> out(l.size);
  writeFrame(*frame, WireFormat::I420, out.data());
  const Yuv green = yuvFromRGB(0, 255, 0);
  EXPECT_EQ(out[2], green.y);
  EXPECT_EQ(out[l.offset[1] + 3], green.u) << "the corner block holds green only";
  EXPECT_EQ(out[l.offset[2] + 3], green.v);
  EXPECT_EQ(out[l.offset[1] + 0], 128) << "the top-left block is black";

  std::vector<uint8_t> yuy2(wireLayout(WireFormat::YUY2, 3, 3).size);
  writeFrame(*frame, WireFormat::YUY2, yuy2.data());
  EXPECT_EQ(yuy2[4], green.y);
  EXPECT_EQ(yuy2[5], green.u);
  EXPECT_EQ(yuy2[6], green.y);
  EXPECT_EQ(yuy2[7], green.v);
}

TEST(FrameConversion, BGRAClientsGetTheBytesUntouched) {
  auto frame = quadrants();
  frame->row(10)[3] = 0x00;  // the ignored fourth byte travels as it is
  const WireLayout l = wireLayout(WireFormat::BGRA, 1280, 720);
  EXPECT_EQ(l.stride[0], 5120);
  std::vector<uint8_t> out(l.size);
  writeFrame(*frame, WireFormat::BGRA, out.data());
  EXPECT_EQ(std::memcmp(out.data(), frame->data(), l.size), 0);
}

TEST(FrameConversion, FormatNamesRoundTrip) {
  for (WireFormat f : kOfferedFormats) EXPECT_EQ(wireFormatFromName(wireFormatName(f)), f);
  EXPECT_FALSE(wireFormatFromName("RGB"));
  EXPECT_EQ(std::string(wireFormatName(kOfferedFormats[0])), "BGRA") << "BGRA is offered first";
}

}  // namespace
