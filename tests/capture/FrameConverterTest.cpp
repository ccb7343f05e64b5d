// Conversion of what cameras deliver into 1280x720 BGRA: every raw layout and
// MJPEG gives the test pattern's colours, bad frames are dropped with one log
// line, and buffers are reused rather than allocated per frame.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "platform/capture/convert/FrameConverter.h"
#include "tests/capture/CaptureTestSupport.h"

using namespace tovrelle;
using namespace tovrelle::capture;
using namespace tovrelle::test;
namespace tp = tovrelle::testpattern;

namespace {

// The pattern drawn at width x height in BGRA, then turned into `format` the
// way a camera would deliver it (one block, planes one after the other).
std::vector<uint8_t> patternIn(PixelFormat format, int width, int height, uint32_t counter, int* stride) {
  std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
  tp::drawPattern(bgra.data(), width, height, width * 4);
  tp::drawCounter(bgra.data(), width, height, width * 4, counter, 1234);
  AVPixelFormat target = AV_PIX_FMT_NONE;
  size_t size = 0;
  int planeStrides[3] = {0, 0, 0};
  switch (format) {
    case PixelFormat::bgrx:
      *stride = width * 4;
      return bgra;
    case PixelFormat::rgbx:
      target = AV_PIX_FMT_RGB0;
      planeStrides[0] = width * 4;
      size = static_cast<size_t>(width) * height * 4;
      break;
    case PixelFormat::yuy2:
      target = AV_PIX_FMT_YUYV422;
      planeStrides[0] = width * 2;
      size = static_cast<size_t>(width) * height * 2;
      break;
    case PixelFormat::uyvy:
      target = AV_PIX_FMT_UYVY422;
      planeStrides[0] = width * 2;
      size = static_cast<size_t>(width) * height * 2;
      break;
    case PixelFormat::nv12:
      target = AV_PIX_FMT_NV12;
      planeStrides[0] = planeStrides[1] = width;
      size = static_cast<size_t>(width) * height * 3 / 2;
      break;
    case PixelFormat::i420:
      target = AV_PIX_FMT_YUV420P;
      planeStrides[0] = width;
      planeStrides[1] = planeStrides[2] = width / 2;
      size = static_cast<size_t>(width) * height * 3 / 2;
      break;
    default:
      ADD_FAILURE() << "no raw layout for " << pixelFormatName(format);
      return {};
  }
  std::vector<uint8_t> out(size);
  uint8_t* planes[4] = {out.data(), nullptr, nullptr, nullptr};
  const size_t lumaSize = static_cast<size_t>(width) * height;
  if (format == PixelFormat::nv12) planes[1] = out.data() + lumaSize;
  if (format == PixelFormat::i420) {
    planes[1] = out.data() + lumaSize;
    planes[2] = planes[1] + lumaSize / 4;
  }
  int strides[4] = {planeStrides[0], planeStrides[1], planeStrides[2], 0};
  SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height, target, SWS_POINT, nullptr, nullptr,
                                   nullptr);
  const uint8_t* src[4] = {bgra.data(), nullptr, nullptr, nullptr};
  int srcStride[4] = {width * 4, 0, 0, 0};
  sws_scale(sws, src, srcStride, 0, height, planes, strides);
  sws_freeContext(sws);
  *stride = planeStrides[0];
  return out;
}

std::vector<uint8_t> jpegOf(int width, int height, uint32_t counter) {
  av_log_set_level(AV_LOG_ERROR);
  std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
  tp::drawPattern(bgra.data(), width, height, width * 4);
  tp::drawCounter(bgra.data(), width, height, width * 4, counter, 99);
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = width;
  ctx->height = height;
  ctx->pix_fmt = AV_PIX_FMT_YUVJ422P;
  ctx->time_base = AVRational{1, 30};
  ctx->flags |= AV_CODEC_FLAG_QSCALE;
  ctx->global_quality = FF_QP2LAMBDA * 4;
  EXPECT_GE(avcodec_open2(ctx, codec, nullptr), 0);
  AVFrame* frame = av_frame_alloc();
  frame->format = ctx->pix_fmt;
  frame->width = width;
  frame->height = height;
  av_frame_get_buffer(frame, 0);
  frame->quality = ctx->global_quality;
  SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_YUVJ422P, SWS_POINT,
                                   nullptr, nullptr, nullptr);
  const uint8_t* src[4] = {bgra.data(), nullptr, nullptr, nullptr};
  int srcStride[4] = {width * 4, 0, 0, 0};
  sws_scale(sws, src, srcStride, 0, height, frame->data, frame->linesize);
  sws_freeContext(sws);
  AVPacket* packet = av_packet_alloc();
  std::vector<uint8_t> out;
  if (avcodec_send_frame(ctx, frame) >= 0 && avcodec_receive_packet(ctx, packet) >= 0)
    out.assign(packet->data, packet->data + packet->size);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
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

void expectPattern(const frames::PixelBuffer& out, uint32_t counter, int tolerance) {
  ASSERT_EQ(out.width(), 1280);
  ASSERT_EQ(out.height(), 720);
  for (int i = 0; i < tp::kBarCount; ++i) {
    auto c = tp::sample(out.data(), out.bytesPerRow(), tp::barCentre(i, 1280, 720));
    EXPECT_TRUE(near(c, tp::kBars[i], tolerance)) << "bar " << i << " " << show(c);
  }
  auto decoded = tp::decode(out.data(), 1280, 720, out.bytesPerRow());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->counter, counter);
  EXPECT_EQ(out.row(300)[3], 255) << "alpha is opaque";
}

TEST(FrameConverter, RawLayoutsAtVariousSizesGiveThePattern) {
  struct Case {
    PixelFormat format;
    int width, height, tolerance;
  };
  const Case cases[] = {
      {PixelFormat::bgrx, 1280, 720, 0},   {PixelFormat::bgrx, 1920, 1080, 8}, {PixelFormat::rgbx, 1280, 720, 8},
      {PixelFormat::yuy2, 640, 480, 30},   {PixelFormat::uyvy, 1280, 720, 30}, {PixelFormat::nv12, 1920, 1080, 30},
      {PixelFormat::i420, 640, 360, 30},   {PixelFormat::yuy2, 320, 240, 40},  {PixelFormat::nv12, 1280, 960, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(pixelFormatName(c.format)) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
    auto converter = FrameConverter::create({c.format, c.width, c.height, 30, 1});
    ASSERT_TRUE(converter);
    int stride = 0;
    auto bytes = patternIn(c.format, c.width, c.height, 4242, &stride);
    auto out = converter->convert(oneBlock(bytes, stride));
    ASSERT_TRUE(out);
    expectPattern(*out, 4242, c.tolerance);
    EXPECT_EQ(converter->droppedFrames(), 0u);
  }
}

TEST(FrameConverter, PlanesGivenSeparatelyAndPaddedStridesAreHonoured) {
  const int w = 640, h = 480;
  int stride = 0;
  auto bytes = patternIn(PixelFormat::i420, w, h, 77, &stride);
  // Copy into planes with padded rows, as some cameras deliver them.
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
  auto converter = FrameConverter::create({PixelFormat::i420, w, h, 30, 1});
  auto out = converter->convert(raw);
  ASSERT_TRUE(out);
  expectPattern(*out, 77, 30);
}

TEST(FrameConverter, MjpegIsDecodedScaledAndCorruptFramesAreDroppedOnce) {
  LogCapture logs;
  auto converter = FrameConverter::create({PixelFormat::mjpeg, 1920, 1080, 30, 1});
  ASSERT_TRUE(converter);
  auto good = jpegOf(1920, 1080, 5);
  ASSERT_FALSE(good.empty());
  auto out = converter->convert(oneBlock(good, 0));
  ASSERT_TRUE(out);
  expectPattern(*out, 5, 40);

  auto broken = good;
  for (size_t i = broken.size() / 3; i < broken.size(); ++i) broken[i] = static_cast<uint8_t>(i * 7);
  EXPECT_FALSE(converter->convert(oneBlock(broken, 0)));
  EXPECT_FALSE(converter->convert(oneBlock(good, 0, good.size() / 2)));  // cut short
  std::vector<uint8_t> noise(5000, 0xAB);
  EXPECT_FALSE(converter->convert(oneBlock(noise, 0)));
  EXPECT_FALSE(converter->convert(oneBlock(good, 0, 2)));
  auto small = jpegOf(640, 480, 6);  // a frame of another size
  EXPECT_FALSE(converter->convert(oneBlock(small, 0)));
  EXPECT_EQ(converter->droppedFrames(), 5u);
  EXPECT_EQ(logs.count("dropping unusable camera frame (MJPEG 1920x1080@30/1)"), 1) << logs.all();

  // The decoder recovers on the next good frame.
  auto next = jpegOf(1920, 1080, 6);
  out = converter->convert(oneBlock(next, 0));
  ASSERT_TRUE(out);
  expectPattern(*out, 6, 40);
}

TEST(FrameConverter, ShortOrOddRawFramesAreDroppedOnce) {
  LogCapture logs;
  auto converter = FrameConverter::create({PixelFormat::nv12, 640, 480, 30, 1});
  int stride = 0;
  auto bytes = patternIn(PixelFormat::nv12, 640, 480, 1, &stride);
  EXPECT_FALSE(converter->convert(oneBlock(bytes, stride, bytes.size() - 1)));
  EXPECT_FALSE(converter->convert(oneBlock(bytes, 320)));  // stride below the width
  EXPECT_FALSE(converter->convert(RawFrame{}));
  EXPECT_TRUE(converter->convert(oneBlock(bytes, stride)));
  EXPECT_EQ(converter->droppedFrames(), 3u);
  EXPECT_EQ(logs.count("dropping unusable camera frame"), 1) << logs.all();
}

TEST(FrameConverter, RefusesFormatsItCannotConvertAndAbsurdSizes) {
  EXPECT_FALSE(FrameConverter::create({PixelFormat::unknown, 640, 480, 30, 1}));
  EXPECT_FALSE(FrameConverter::create({PixelFormat::yuy2, 0, 480, 30, 1}));
  EXPECT_FALSE(FrameConverter::create({PixelFormat::yuy2, 100000, 480, 30, 1}));
  EXPECT_TRUE(FrameConverter::create({PixelFormat::yuy2, 2, 2, 30, 1}));
}

TEST(FrameConverter, OutputBuffersAreReusedOnceReleased) {
  auto converter = FrameConverter::create({PixelFormat::yuy2, 640, 480, 30, 1});
  int stride = 0;
  auto bytes = patternIn(PixelFormat::yuy2, 640, 480, 1, &stride);
  std::set<const uint8_t*> seen;
  for (int i = 0; i < 50; ++i) {
    auto out = converter->convert(oneBlock(bytes, stride));
    ASSERT_TRUE(out);
    seen.insert(out->data());
  }
  EXPECT_EQ(seen.size(), 1u) << "one buffer serves every frame when the last one is released";
  // Held frames are not overwritten.
  auto a = converter->convert(oneBlock(bytes, stride));
  auto b = converter->convert(oneBlock(bytes, stride));
  EXPECT_NE(a->data(), b->data());
}

}  // namespace
