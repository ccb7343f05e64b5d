// Frames taken out of a camera's buffer: every raw layout keeps its own
// layout and shows the test pattern once written for a client, MJPEG is
// decoded to full-range planes (reduced in decoding when much larger than the
// output), bad frames are dropped with one log line, memory is reused.
#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>
#include <turbojpeg.h>

#include <cstring>
#include <set>
#include <vector>

#include "platform/capture/convert/FrameConverter.h"
#include "tests/capture/CaptureTestSupport.h"

using namespace tovrelle;
using namespace tovrelle::capture;
using namespace tovrelle::test;
namespace tp = tovrelle::testpattern;

namespace {

std::vector<uint8_t> patternBGRA(int width, int height, uint32_t counter) {
  std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
  tp::drawPattern(bgra.data(), width, height, width * 4);
  tp::drawCounter(bgra.data(), width, height, width * 4, counter, 1234);
  return bgra;
}

// The pattern as a camera delivers `format`: one block, planes one after the other.
std::vector<uint8_t> patternIn(frames::PixelFormat format, int width, int height, uint32_t counter, int* stride) {
  auto bgra = patternBGRA(width, height, counter);
  const auto l = frames::packedLayout(format == frames::PixelFormat::nv12   ? frames::PixelFormat::nv12
                                      : format == frames::PixelFormat::i420 ? frames::PixelFormat::i420
                                                                            : frames::PixelFormat::yuy2,
                                      width, height);
  std::vector<uint8_t> out(format == frames::PixelFormat::bgrx || format == frames::PixelFormat::rgbx ? bgra.size()
                                                                                                      : l.size);
  uint8_t* d = out.data();
  const int s = width * 4;
  *stride = l.stride[0];
  switch (format) {
    case frames::PixelFormat::bgrx: *stride = s; return bgra;
    case frames::PixelFormat::rgbx:
      libyuv::ARGBToABGR(bgra.data(), s, d, s, width, height);
      *stride = s;
      break;
    case frames::PixelFormat::yuy2: libyuv::ARGBToYUY2(bgra.data(), s, d, l.stride[0], width, height); break;
    case frames::PixelFormat::uyvy: libyuv::ARGBToUYVY(bgra.data(), s, d, l.stride[0], width, height); break;
    case frames::PixelFormat::nv12:
      libyuv::ARGBToNV12(bgra.data(), s, d, width, d + l.offset[1], width, width, height);
      break;
    case frames::PixelFormat::i420:
      libyuv::ARGBToI420(bgra.data(), s, d, width, d + l.offset[1], width / 2, d + l.offset[2], width / 2, width,
                         height);
      break;
    default: ADD_FAILURE() << "no raw layout for " << frames::pixelFormatName(format);
  }
  return out;
}

std::vector<uint8_t> jpegOf(int width, int height, uint32_t counter, int subsampling = TJSAMP_422) {
  auto bgra = patternBGRA(width, height, counter);
  tjhandle h = tjInitCompress();
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(h, bgra.data(), width, width * 4, height, TJPF_BGRX, &buf, &size, subsampling, 90, 0), 0);
  std::vector<uint8_t> out(buf, buf + size);
  tjFree(buf);
  tjDestroy(h);
  return out;
}

RawFrame oneBlock(const std::vector<uint8_t>& bytes, int stride, size_t size = SIZE_MAX) {
  RawFrame raw;
  raw.data[0] = bytes.data();
  raw.size[0] = std::min(size, bytes.size());
  raw.stride[0] = stride;
  raw.planes = 1;
  return raw;
}

// What a BGRA client is shown of the frame.
void expectPattern(const frames::VideoFrame& frame, uint32_t counter, int tolerance) {
  CapturedFrame sample;
  sample.image = frame;
  const SeenFrame seen = inspect(sample);
  ASSERT_EQ(seen.width, 1280);
  for (int i = 0; i < tp::kBarCount; ++i)
    EXPECT_TRUE(near(seen.bars[i], tp::kBars[i], tolerance)) << "bar " << i << " " << show(seen.bars[i]);
  ASSERT_TRUE(seen.decoded);
  EXPECT_EQ(seen.decoded->counter, counter);
}

}  // namespace

TEST(FrameConverter, RawLayoutsKeepTheirLayoutAndShowThePattern) {
  struct Case {
    frames::PixelFormat format;
    int width, height;
    frames::PixelFormat kept;  // the format of the frame handed on
  };
  using F = frames::PixelFormat;
  const Case cases[] = {
      {F::bgrx, 1280, 720, F::bgra}, {F::rgbx, 1920, 1080, F::bgra}, {F::yuy2, 640, 480, F::yuy2},
      {F::uyvy, 1280, 720, F::uyvy}, {F::nv12, 1920, 1080, F::nv12}, {F::i420, 640, 360, F::i420},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(frames::pixelFormatName(c.format)) + " " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    auto converter = FrameConverter::create({c.format, c.width, c.height, 30, 1});
    ASSERT_TRUE(converter);
    int stride = 0;
    auto bytes = patternIn(c.format, c.width, c.height, 4242, &stride);
    auto out = converter->convert(oneBlock(bytes, stride));
    ASSERT_TRUE(out);
    EXPECT_EQ(out.format, c.kept);
    EXPECT_EQ(out.width, c.width);
    expectPattern(out, 4242, 30);
  }
}

TEST(FrameConverter, PaddedStridesAndSeparatePlanesAreHonoured) {
  const int w = 640, h = 480;
  int stride = 0;
  auto bytes = patternIn(frames::PixelFormat::i420, w, h, 77, &stride);
  const int ys = w + 64, cs = w / 2 + 32;
  std::vector<uint8_t> y(static_cast<size_t>(ys) * h), u(static_cast<size_t>(cs) * h / 2), v(u.size());
  for (int r = 0; r < h; ++r) std::memcpy(&y[static_cast<size_t>(r) * ys], &bytes[static_cast<size_t>(r) * w], w);
  const uint8_t* u0 = bytes.data() + w * h;
  const uint8_t* v0 = u0 + w * h / 4;
  for (int r = 0; r < h / 2; ++r) {
    std::memcpy(&u[static_cast<size_t>(r) * cs], u0 + r * (w / 2), w / 2);
    std::memcpy(&v[static_cast<size_t>(r) * cs], v0 + r * (w / 2), w / 2);
  }
  RawFrame raw;
  raw.planes = 3;
  raw.data[0] = y.data(), raw.size[0] = y.size(), raw.stride[0] = ys;
  raw.data[1] = u.data(), raw.size[1] = u.size(), raw.stride[1] = cs;
  raw.data[2] = v.data(), raw.size[2] = v.size(), raw.stride[2] = cs;
  auto out = FrameConverter::create({frames::PixelFormat::i420, w, h, 30, 1})->convert(raw);
  ASSERT_TRUE(out);
  expectPattern(out, 77, 30);
}

TEST(FrameConverter, MjpegIsDecodedToFullRangePlanesAndBadFramesAreDroppedOnce) {
  LogCapture logs;
  auto converter = FrameConverter::create({frames::PixelFormat::mjpeg, 1920, 1080, 30, 1});
  ASSERT_TRUE(converter);
  auto good = jpegOf(1920, 1080, 5);
  auto out = converter->convert(oneBlock(good, 0));
  ASSERT_TRUE(out);
  EXPECT_EQ(out.range, frames::Range::full);
  EXPECT_EQ(out.format, frames::PixelFormat::i422);
  EXPECT_EQ(out.width, 1920) << "half size would not cover 1280x720";
  auto big = FrameConverter::create({frames::PixelFormat::mjpeg, 2880, 1620, 30, 1})
                 ->convert(oneBlock(jpegOf(2880, 1620, 7), 0));
  EXPECT_EQ(big.width, 1440) << "decoded at half size, still covering 1280x720";
  expectPattern(big, 7, 40);
  expectPattern(out, 5, 40);
  // Other samplings, full size and reduced (where the decoder may widen the chroma).
  for (int sampling : {TJSAMP_420, TJSAMP_444}) {
    for (auto [w, h] : {std::pair{1920, 1080}, std::pair{2880, 1620}}) {
      SCOPED_TRACE("sampling " + std::to_string(sampling) + " " + std::to_string(w));
      auto f = FrameConverter::create({frames::PixelFormat::mjpeg, w, h, 30, 1})
                   ->convert(oneBlock(jpegOf(w, h, 9, sampling), 0));
      ASSERT_TRUE(f);
      expectPattern(f, 9, 40);
    }
  }
  auto gray = FrameConverter::create({frames::PixelFormat::mjpeg, 1920, 1080, 30, 1})
                  ->convert(oneBlock(jpegOf(1920, 1080, 3, TJSAMP_GRAY), 0));
  ASSERT_TRUE(gray);
  EXPECT_EQ(gray.plane[1][640], 128);
  EXPECT_EQ(gray.plane[2][gray.stride[2] * 539], 128);

  auto garbled = good;  // Huffman data overwritten after the headers
  for (size_t i = garbled.size() / 3; i < garbled.size(); ++i) garbled[i] = static_cast<uint8_t>(i * 7);
  auto huge = good;  // the frame header declares 65535x65535
  for (size_t i = 0; i + 8 < huge.size(); ++i)
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
      std::memset(&huge[i + 5], 0xFF, 4);
      break;
    }
  EXPECT_FALSE(converter->convert(oneBlock(garbled, 0)));
  EXPECT_FALSE(converter->convert(oneBlock(good, 0, good.size() / 2)));  // cut short
  EXPECT_FALSE(converter->convert(oneBlock(huge, 0)));
  EXPECT_FALSE(converter->convert(oneBlock(std::vector<uint8_t>(5000, 0xAB), 0)));
  EXPECT_FALSE(converter->convert(oneBlock(jpegOf(640, 480, 6), 0)));  // another size
  EXPECT_EQ(converter->droppedFrames(), 5u);
  EXPECT_EQ(logs.count("dropping unusable camera frame (MJPEG 1920x1080@30/1)"), 1) << logs.all();

  out = converter->convert(oneBlock(jpegOf(1920, 1080, 6), 0));
  ASSERT_TRUE(out) << "the decoder recovers on the next good frame";
  expectPattern(out, 6, 40);
}

TEST(FrameConverter, ShortRawFramesAreDroppedOnceAndMemoryIsReused) {
  LogCapture logs;
  auto converter = FrameConverter::create({frames::PixelFormat::nv12, 640, 480, 30, 1});
  int stride = 0;
  auto bytes = patternIn(frames::PixelFormat::nv12, 640, 480, 1, &stride);
  EXPECT_FALSE(converter->convert(oneBlock(bytes, stride, bytes.size() - 1)));
  EXPECT_FALSE(converter->convert(oneBlock(bytes, 320)));  // stride below the width
  EXPECT_FALSE(converter->convert(RawFrame{}));
  EXPECT_EQ(converter->droppedFrames(), 3u);
  EXPECT_EQ(logs.count("dropping unusable camera frame"), 1) << logs.all();

  // Converted frames (the RGB orders) take memory from the store.
  converter = FrameConverter::create({frames::PixelFormat::rgbx, 640, 480, 30, 1});
  bytes = patternIn(frames::PixelFormat::rgbx, 640, 480, 1, &stride);
  std::set<const void*> seen;
  for (int i = 0; i < 50; ++i) seen.insert(converter->convert(oneBlock(bytes, stride)).storage.get());
  EXPECT_EQ(seen.size(), 1u) << "one block serves every frame once the last one is released";
  auto a = converter->convert(oneBlock(bytes, stride));
  auto b = converter->convert(oneBlock(bytes, stride));
  EXPECT_NE(a.storage, b.storage) << "held frames are not overwritten";
}
