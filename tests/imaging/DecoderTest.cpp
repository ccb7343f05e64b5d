#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <tuple>

#include "platform/imaging/Decoder.h"
#include "platform/imaging/Fit.h"
#include "platform/log/Log.h"
#include "tests/imaging/ImagingTestSupport.h"

namespace tovrelle::imaging {
namespace {

using namespace test;
using namespace test::fixtures;

class DecoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { quietFfmpeg(); }

  static std::vector<Canvas> decodeAll(const std::vector<uint8_t>& bytes) {
    std::vector<Canvas> frames;
    auto decoder = Decoder::open(memoryBytes(bytes));
    if (!decoder) return frames;
    for (;;) {
      Canvas c;
      const Decoder::Step r = (*decoder)->next(c);
      if (r == Decoder::Step::End) break;
      EXPECT_EQ(r, Decoder::Step::Frame) << "frame " << frames.size();
      if (r != Decoder::Step::Frame) break;
      frames.push_back(std::move(c));
    }
    return frames;
  }
};

long peakVirtualKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmPeak:", 0) == 0) return std::stol(line.substr(7));
  }
  return -1;
}

std::vector<double> displayTimes(const ImageInfo& info) {
  std::vector<double> out;
  for (const FrameDelays& d : info.frames) out.push_back(frameDelay(d));
  return out;
}

TEST_F(DecoderTest, AnimatedPngDisposeBlendAndDelays) {
  Apng a;
  a.width = 4;
  a.height = 4;
  // 0: opaque red everywhere, 1/10 s.
  a.frames.push_back({0, 0, 4, 4, solidRgba(4, 4, 255, 0, 0, 255), 1, 10, 0, 0});
  // 1: half-transparent blue blended over at (1,1), cleared afterwards; 50/100 s.
  a.frames.push_back({1, 1, 2, 2, solidRgba(2, 2, 0, 0, 255, 128), 50, 100, 1, 1});
  // 2: green at (0,0) replacing what is there, undone afterwards; 0/0 s.
  a.frames.push_back({0, 0, 1, 1, solidRgba(1, 1, 0, 255, 0, 255), 0, 0, 2, 0});
  // 3: a fully transparent pixel at (3,3) replacing red (source blend); 1/1000 s.
  a.frames.push_back({3, 3, 1, 1, solidRgba(1, 1, 0, 255, 0, 0), 1, 1000, 0, 0});
  // 4: a fully transparent pixel blended over (0,0): no change; 3/0 means 3/100 s.
  a.frames.push_back({0, 0, 1, 1, solidRgba(1, 1, 0, 0, 255, 0), 3, 0, 0, 1});
  const auto bytes = encodeApng(a);

  auto info = inspectImage(memoryBytes(bytes));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->container, Container::AnimatedPng);
  ASSERT_EQ(info->frames.size(), 5u);
  const std::vector<double> expected{0.1, 0.5, 0.1, 0.1, 0.03};
  const std::vector<double> actual = displayTimes(*info);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_DOUBLE_EQ(actual[i], expected[i]) << "frame " << i;

  const std::vector<Canvas> f = decodeAll(bytes);
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(pixel(f[0], 1, 1), kRed);
  // Blue at alpha 128 over red.
  EXPECT_TRUE(near(pixel(f[1], 1, 1), Rgb8{127, 0, 128}, 2)) << pixel(f[1], 1, 1);
  EXPECT_EQ(pixel(f[1], 0, 0), kRed);
  // Frame 1's area was cleared to transparent, seen as black.
  EXPECT_EQ(pixel(f[2], 1, 1), kBlack);
  EXPECT_EQ(pixel(f[2], 2, 2), kBlack);
  EXPECT_EQ(pixel(f[2], 0, 0), kGreen);
  EXPECT_EQ(pixel(f[2], 3, 0), kRed);
  // Frame 2 undone; the source-blended transparent pixel is black.
  EXPECT_EQ(pixel(f[3], 0, 0), kRed);
  EXPECT_EQ(pixel(f[3], 3, 3), kBlack);
  EXPECT_EQ(pixel(f[3], 1, 1), kBlack);
  // Blending a transparent pixel over changes nothing.
  EXPECT_EQ(pixel(f[4], 0, 0), kRed);
}

TEST_F(DecoderTest, AnimatedWebpBlendDisposalAndDelays) {
  AnimatedWebp w{4, 4, {}};
  // 0: opaque red everywhere, 100 ms.
  w.frames.push_back({0, 0, 4, 4, solidRgba(4, 4, 255, 0, 0, 255), 100, false, false});
  // 1: half-transparent blue blended over at (2,2), cleared afterwards; 500 ms.
  w.frames.push_back({2, 2, 2, 2, solidRgba(2, 2, 0, 0, 255, 128), 500, true, true});
  // 2: transparent pixels replacing red at (0,0) (no blending); 0 ms.
  w.frames.push_back({0, 0, 2, 2, solidRgba(2, 2, 0, 255, 0, 0), 0, false, false});
  // 3: green blended over at (0,2); 30 ms.
  w.frames.push_back({0, 2, 2, 2, solidRgba(2, 2, 0, 255, 0, 255), 30, false, true});
  const auto bytes = encodeAnimatedWebp(w);

  auto info = inspectImage(memoryBytes(bytes));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->container, Container::AnimatedWebp);
  EXPECT_EQ(info->width, 4);
  ASSERT_EQ(info->frames.size(), 4u);
  const std::vector<double> expected{0.1, 0.5, 0.1, 0.03};
  const std::vector<double> actual = displayTimes(*info);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_DOUBLE_EQ(actual[i], expected[i]) << "frame " << i;

  const std::vector<Canvas> f = decodeAll(bytes);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(pixel(f[0], 1, 1), kRed);
  EXPECT_EQ(pixel(f[0], 3, 3), kRed);
  // Blue at alpha 128 over red.
  EXPECT_TRUE(near(pixel(f[1], 2, 2), Rgb8{127, 0, 128}, 2)) << pixel(f[1], 2, 2);
  EXPECT_EQ(pixel(f[1], 0, 0), kRed);
  // Frame 1's area went back to the (transparent) background: black.
  EXPECT_EQ(pixel(f[2], 3, 3), kBlack);
  EXPECT_EQ(pixel(f[2], 0, 0), kBlack);
  EXPECT_EQ(pixel(f[2], 3, 0), kRed);
  EXPECT_EQ(pixel(f[3], 0, 2), kGreen);
  EXPECT_EQ(pixel(f[3], 1, 1), kBlack);
  EXPECT_EQ(pixel(f[3], 3, 3), kBlack);

  // A second lap starts from the first frame again.
  auto decoder = Decoder::open(memoryBytes(bytes));
  ASSERT_TRUE(decoder);
  EXPECT_EQ((*decoder)->container(), Container::AnimatedWebp);
  Canvas c;
  while ((*decoder)->next(c) == Decoder::Step::Frame) {
  }
  ASSERT_TRUE((*decoder)->rewind());
  ASSERT_EQ((*decoder)->next(c), Decoder::Step::Frame);
  EXPECT_EQ(pixel(c, 3, 3), kRed);
}

TEST_F(DecoderTest, BrokenTruncatedAndHugeWebpAreRefusedWithoutHarm) {
  AnimatedWebp w{8, 8, {}};
  for (int i = 0; i < 3; ++i)
    w.frames.push_back(
        {0, 0, 8, 8, solidRgba(8, 8, i == 0 ? 255 : 0, i == 1 ? 255 : 0, i == 2 ? 255 : 0, 255), 50, false, false});
  const auto good = encodeAnimatedWebp(w);
  ASSERT_EQ(decodeAll(good).size(), 3u);

  for (size_t cut = 1; cut < good.size(); ++cut) {
    std::vector<uint8_t> partial(good.begin(), good.begin() + static_cast<long>(cut));
    auto info = inspectImage(memoryBytes(partial));
    EXPECT_LE(info ? info->frames.size() : 0u, 3u) << cut;
    auto decoder = Decoder::open(memoryBytes(partial));
    if (!decoder) continue;
    Canvas c;
    int frames = 0;
    while (frames < 10 && (*decoder)->next(c) != Decoder::Step::End) ++frames;
    EXPECT_LE(frames, 3) << cut;
  }

  // Garbage inside the frames' bitstreams: each frame decodes or fails, no more.
  std::vector<uint8_t> scrambled = good;
  for (size_t i = 60; i < scrambled.size(); i += 7) scrambled[i] ^= 0x5a;
  if (auto decoder = Decoder::open(memoryBytes(scrambled))) {
    Canvas c;
    int frames = 0;
    while (frames < 10 && (*decoder)->next(c) != Decoder::Step::End) ++frames;
    EXPECT_LE(frames, 3);
  }

  // A canvas claiming 20000 x 20000 (400 MP) is refused before anything the
  // size of it is allocated, and the reason says so.
  std::vector<uint8_t> huge = good;
  ASSERT_EQ(std::string(huge.begin() + 12, huge.begin() + 16), "VP8X");
  for (int at : {24, 27}) {  // canvas width - 1, height - 1: 24 bits each
    huge[at] = 0x1f;
    huge[at + 1] = 0x4e;
    huge[at + 2] = 0x00;
  }
  const long before = peakVirtualKb();
  EXPECT_FALSE(inspectImage(memoryBytes(huge)));
  auto refused = Decoder::open(memoryBytes(huge));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.failure().kind, DecodeError::Kind::tooLarge);
  EXPECT_NE(refused.error().find("20000 x 20000"), std::string::npos) << refused.error();
  EXPECT_LT(peakVirtualKb() - before, 512 * 1024) << "a claimed canvas must not be allocated";
}

TEST_F(DecoderTest, LargeStillPngAndWebpAreReducedWhileDecoding) {
  // Left half red, right half blue.
  const int w = 9000, h = 300;
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgba[(static_cast<size_t>(y) * w + static_cast<size_t>(x)) * 4];
      p[0] = x < w / 2 ? 255 : 0;
      p[2] = x < w / 2 ? 0 : 255;
      p[3] = 255;
    }
  AnimatedWebp animated{w, h, {}};
  for (int i = 0; i < 2; ++i) animated.frames.push_back({0, 0, w, h, rgba, 100, false, false});
  for (const auto& [name, bytes, count] : {std::tuple{"png", encodePng(w, h, rgba), 1u},
                                           {"webp", encodeWebp(w, h, rgba), 1u},
                                           {"animated webp", encodeAnimatedWebp(animated), 2u}}) {
    SCOPED_TRACE(name);
    const auto f = decodeAll(bytes);
    ASSERT_EQ(f.size(), count);
    EXPECT_EQ(f[0].width, kMaxCanvasSide);
    EXPECT_EQ(f[0].height, 137);  // 300 * 4096 / 9000, rounded
    EXPECT_EQ(f[0].sourceWidth, w);
    EXPECT_EQ(f[0].sourceHeight, h);
    EXPECT_TRUE(near(pixel(f[0], 100, 0), kRed, 2)) << pixel(f[0], 100, 0);
    EXPECT_TRUE(near(pixel(f[0], 4000, 136), kBlue, 2)) << pixel(f[0], 4000, 136);
  }
}

// FFmpeg's own messages arrive in our log with a priority: errors as one
// error line each, at most a burst of them; warnings not at all.
TEST_F(DecoderTest, CodecMessagesReachTheLogAsErrorLinesOnly) {
  std::vector<log::Record> records;
  log::setSink([&](const log::Record& r) { records.push_back(r); });
  routeCodecMessages();
  av_log_set_level(AV_LOG_INFO);
  av_log(nullptr, AV_LOG_WARNING, "a warning nobody needs\n");
  av_log(nullptr, AV_LOG_INFO, "some chatter\n");
  EXPECT_TRUE(records.empty());
  av_log(nullptr, AV_LOG_ERROR, "invalid data in ");
  av_log(nullptr, AV_LOG_ERROR, "frame %d\n", 7);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, log::Level::Error);
  EXPECT_EQ(records[0].message, "codec: invalid data in frame 7");
  for (int i = 0; i < 200; ++i) av_log(nullptr, AV_LOG_ERROR, "error %d\n", i);
  EXPECT_LE(records.size(), 10u) << "a flood of codec errors is rate-limited";
  quietFfmpeg();
  log::setSink(nullptr);
}

TEST_F(DecoderTest, StillPngWithAlphaIsLaidOverBlack) {
  std::vector<uint8_t> rgba = solidRgba(3, 2, 200, 100, 50, 128);
  rgba[0 * 4 + 3] = 255;  // one opaque pixel
  rgba[5 * 4 + 3] = 0;    // one fully transparent pixel
  const auto f = decodeAll(encodePng(3, 2, rgba));
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].width, 3);
  EXPECT_EQ(f[0].height, 2);
  EXPECT_EQ(pixel(f[0], 0, 0), (Rgb8{200, 100, 50}));
  EXPECT_TRUE(near(pixel(f[0], 1, 0), Rgb8{100, 50, 25}, 1)) << pixel(f[0], 1, 0);
  EXPECT_EQ(pixel(f[0], 2, 1), kBlack);
}

TEST_F(DecoderTest, EveryStillFormatDecodes) {
  const int w = 32, h = 16;
  const auto rgb = quadrantsRgb(w, h);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    int tolerance;
  };
  std::vector<Case> cases;
  cases.push_back({"bmp", encodeBmp(w, h, rgb), 0});
  cases.push_back({"jpeg", encodeWithFfmpeg("mjpeg", w, h, rgb), 40});
  cases.push_back({"tiff", encodeWithFfmpeg("tiff", w, h, rgb), 0});
  cases.push_back({"webp", encodeWithFfmpeg("libwebp", w, h, rgb), 40});
  cases.push_back({"png", encodeWithFfmpeg("png", w, h, rgb), 0});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.bytes.empty()) << "no encoder";
    auto info = inspectImage(memoryBytes(c.bytes));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->container, Container::Still);
    EXPECT_EQ(info->frames.size(), 1u);
    const auto f = decodeAll(c.bytes);
    ASSERT_EQ(f.size(), 1u);
    ASSERT_EQ(f[0].width, w);
    ASSERT_EQ(f[0].height, h);
    for (auto [x, y, want] : {std::tuple{4, 4, kRed}, {w - 5, 4, kGreen}, {4, h - 5, kBlue}, {w - 5, h - 5, kWhite}})
      EXPECT_TRUE(near(pixel(f[0], x, y), want, c.tolerance)) << pixel(f[0], x, y);
  }
}

TEST_F(DecoderTest, VeryLongPicturesAreReducedWhileDecoding) {
  // A GIF screen of 62216 x 6 (a fuzzer find: wider than the drawing layer
  // takes) and a 20000 x 200 BMP.
  Gif wide{62216, 6, {0xff0000, 0x00ff00}, 0, false, {}};
  wide.frames.push_back(solidGifFrame(62216, 6, 1, 10));
  auto f = decodeAll(encodeGif(wide));
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].width, kMaxCanvasSide);
  EXPECT_EQ(f[0].height, 1);
  EXPECT_EQ(f[0].sourceWidth, 62216);
  EXPECT_EQ(f[0].sourceHeight, 6);
  EXPECT_EQ(pixel(f[0], 4000, 0), kGreen);

  std::vector<uint8_t> rgb(20000 * 200 * 3, 0);
  for (size_t i = 0; i < rgb.size(); i += 3) rgb[i + 2] = 255;
  f = decodeAll(encodeBmp(20000, 200, rgb));
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].width, kMaxCanvasSide);
  EXPECT_EQ(f[0].height, 41);  // 200 * 4096 / 20000, rounded
  EXPECT_EQ(f[0].sourceWidth, 20000);
  EXPECT_TRUE(near(pixel(f[0], 100, 40), kBlue, 1)) << pixel(f[0], 100, 40);
}

// Phone cameras store the sensor's rows and say in EXIF how to turn them.
TEST_F(DecoderTest, JpegsAreTurnedUprightByTheirExifOrientation) {
  const int w = 64, h = 32;  // upright: red, green / blue, white quadrants
  const auto upright = quadrantsRgb(w, h);
  ScratchFolder folder;
  for (int o = 1; o <= 8; ++o) {
    SCOPED_TRACE("orientation " + std::to_string(o));
    const bool swaps = o >= 5;
    const int sw = swaps ? h : w, sh = swaps ? w : h;
    // The stored pixel (x, y) is the upright pixel the orientation sends it to.
    auto toUpright = [&](int x, int y) -> std::pair<int, int> {
      switch (o) {
        case 2: return {sw - 1 - x, y};
        case 3: return {sw - 1 - x, sh - 1 - y};
        case 4: return {x, sh - 1 - y};
        case 5: return {y, x};
        case 6: return {sh - 1 - y, x};
        case 7: return {sh - 1 - y, sw - 1 - x};
        case 8: return {y, sw - 1 - x};
        default: return {x, y};
      }
    };
    const auto file = folder.path() / ("o" + std::to_string(o) + ".jpg");
    writeJpeg(
        file, sw, sh,
        [&](int y, uint8_t* rgb) {
          for (int x = 0; x < sw; ++x) {
            auto [ux, uy] = toUpright(x, y);
            std::copy_n(&upright[(static_cast<size_t>(uy) * w + static_cast<size_t>(ux)) * 3], 3, rgb + 3 * x);
          }
        },
        o, 95);
    auto bytes = openImageFile(file);
    ASSERT_TRUE(bytes) << bytes.error();
    auto info = inspectImage(*bytes);
    ASSERT_TRUE(info) << info.error();
    EXPECT_EQ(info->width, w);
    EXPECT_EQ(info->height, h);
    auto picture = decodeFirstPicture(file);
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->width, w);
    ASSERT_EQ(picture->height, h);
    EXPECT_EQ(picture->sourceWidth, w);
    for (auto [x, y, want] : {std::tuple{16, 8, kRed}, {48, 8, kGreen}, {16, 24, kBlue}, {48, 24, kWhite}})
      EXPECT_TRUE(near(pixel(*picture, x, y), want, 12)) << pixel(*picture, x, y);
  }
}

TEST_F(DecoderTest, BrokenTruncatedAndHugeInputsAreRefusedWithoutHarm) {
  Gif gif{4, 4, {0xff0000, 0x00ff00}, 0, true, {}};
  for (int i = 0; i < 4; ++i) gif.frames.push_back(solidGifFrame(4, 4, static_cast<uint8_t>(i % 2), 10));
  const auto good = encodeGif(gif);

  // Not images at all: refused with a reason, not for their size.
  EXPECT_FALSE(inspectImage(memoryBytes(std::vector<uint8_t>{})));
  EXPECT_FALSE(Decoder::open(memoryBytes(std::vector<uint8_t>{})));
  const std::string text = "just some text, not a picture\n";
  EXPECT_FALSE(inspectImage(memoryBytes(std::vector<uint8_t>(text.begin(), text.end()))));
  auto notAPicture = Decoder::open(memoryBytes(std::vector<uint8_t>(text.begin(), text.end())));
  ASSERT_FALSE(notAPicture);
  EXPECT_EQ(notAPicture.failure().kind, DecodeError::Kind::notAnImage);
  EXPECT_FALSE(notAPicture.error().empty());

  // Every truncation of a good animation: never more frames than the file
  // has, and decoding what is there neither crashes nor runs past the end.
  for (size_t cut = 1; cut < good.size(); ++cut) {
    std::vector<uint8_t> partial(good.begin(), good.begin() + static_cast<long>(cut));
    auto info = inspectImage(memoryBytes(partial));
    EXPECT_LE(info ? info->frames.size() : 0u, 4u) << cut;
    auto decoder = Decoder::open(memoryBytes(partial));
    if (!decoder) continue;
    Canvas c;
    int frames = 0;
    while (frames < 10 && (*decoder)->next(c) != Decoder::Step::End) ++frames;
    EXPECT_LE(frames, 4) << cut;
  }

  // A GIF whose screen claims 65535 x 65535 pixels is refused up front.
  std::vector<uint8_t> huge = good;
  huge[6] = huge[7] = huge[8] = huge[9] = 0xff;
  EXPECT_FALSE(inspectImage(memoryBytes(huge)));
  auto hugeGif = Decoder::open(memoryBytes(huge));
  ASSERT_FALSE(hugeGif);
  EXPECT_EQ(hugeGif.failure().kind, DecodeError::Kind::tooLarge);
  EXPECT_NE(hugeGif.error().find("65535 x 65535"), std::string::npos) << hugeGif.error();

  // A PNG that claims 100000 x 100000 pixels decodes to nothing.
  std::vector<uint8_t> bigPng = encodePng(2, 2, solidRgba(2, 2, 1, 2, 3, 255));
  for (int i : {16, 20}) std::copy_n("\0\x01\x86\xa0", 4, bigPng.begin() + i);  // IHDR width and height
  if (auto decoder = Decoder::open(memoryBytes(bigPng))) {
    Canvas c;
    EXPECT_NE((*decoder)->next(c), Decoder::Step::Frame);
  }

  // A lower pixel limit refuses an ordinary picture too.
  Limits small;
  small.maxPixels = 15;
  auto pastLimit = Decoder::open(memoryBytes(good), small);
  ASSERT_FALSE(pastLimit);
  EXPECT_EQ(pastLimit.failure().kind, DecodeError::Kind::tooLarge);
}

TEST_F(DecoderTest, ChunkClaimingMoreThanTheFileIsRefusedBeforeAnyAllocation) {
  Apng a;
  a.width = 2;
  a.height = 2;
  a.frames.push_back({0, 0, 2, 2, solidRgba(2, 2, 255, 0, 0, 255), 1, 10, 0, 0});
  a.frames.push_back({0, 0, 2, 2, solidRgba(2, 2, 0, 255, 0, 255), 1, 10, 0, 0});
  std::vector<uint8_t> bytes = encodeApng(a);
  // A text chunk after acTL whose length claims 2 GB.
  const std::vector<uint8_t> lying{0x7f, 0xff, 0xff, 0xf0, 't', 'E', 'X', 't', 'a', 'b', 'c'};
  const size_t afterActl = 8 + 25 + 20;  // signature, IHDR, acTL
  bytes.insert(bytes.begin() + static_cast<long>(afterActl), lying.begin(), lying.end());
  const long before = peakVirtualKb();
  EXPECT_FALSE(inspectImage(memoryBytes(bytes)));
  EXPECT_FALSE(Decoder::open(memoryBytes(bytes)));
  EXPECT_LT(peakVirtualKb() - before, 512 * 1024) << "a lying chunk length must not be allocated";

  // The same file without the lie still decodes.
  EXPECT_EQ(decodeAll(encodeApng(a)).size(), 2u);
}

TEST(RenderFitted, SmallPictureIsEnlargedSmoothlyAndAnEmptyOneLeavesBlack) {
  Canvas picture;
  picture.resize(2, 1);
  std::memcpy(picture.pixels.data(), "\0\0\0\xff\xff\xff\xff\xff", 8);  // black, white
  auto frame = frames::makeFrameBuffer(1280, 720);
  ASSERT_TRUE(frame);
  ASSERT_TRUE(renderFitted(picture, *frame));
  // A 2 x 1 picture fills 1280 x 640: a ramp through the middle, not a step.
  EXPECT_EQ(pixel(*frame, 10, 360), kBlack);
  EXPECT_EQ(pixel(*frame, 1270, 360), kWhite);
  const Rgb8 middle = pixel(*frame, 640, 360);
  EXPECT_GT(middle.g, 60);
  EXPECT_LT(middle.g, 195);

  std::memset(frame->data(), 0x77, frame->byteCount());
  EXPECT_FALSE(renderFitted(Canvas{}, *frame));
  EXPECT_EQ(pixel(*frame, 10, 10), kBlack);
}

// A library file that is not a plain file never blocks a load: the open says why.
TEST_F(DecoderTest, ImageFilesThatAreNotPlainFilesAreRefusedWithAReason) {
  ScratchFolder folder;
  const auto fifo = folder.path() / "pipe.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto opened = openImageFile(fifo);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), "is a FIFO");
  EXPECT_FALSE(decodeFirstPicture(fifo));

  const auto real = folder.path() / "real.png";
  const auto png = encodePng(2, 2, solidRgba(2, 2, 1, 2, 3, 255));
  std::ofstream(real, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
  std::filesystem::create_symlink(real, folder.path() / "link.png");
  EXPECT_EQ(openImageFile(folder.path() / "link.png").error(), "is a symbolic link");
  EXPECT_EQ(openImageFile(folder.path() / "missing.png").error(), std::strerror(ENOENT));
  auto good = openImageFile(real);
  ASSERT_TRUE(good) << good.error();
  EXPECT_EQ((*good)->size(), png.size());
}

// Only a picture refused for its size is worth a log line; a broken file is
// its caller's to tell.
TEST_F(DecoderTest, APictureTooLargeToShowIsSaidOnceInTheLog) {
  std::vector<log::Record> records;
  log::setSink([&](const log::Record& r) { records.push_back(r); });
  ScratchFolder folder;
  Gif gif{4, 4, {0xff0000, 0x00ff00}, 0, true, {}};
  gif.frames.push_back(solidGifFrame(4, 4, 0, 10));
  auto huge = encodeGif(gif);
  huge[6] = huge[7] = huge[8] = huge[9] = 0xff;
  const auto hugeFile = folder.path() / "huge.gif";
  std::ofstream(hugeFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(huge.data()), std::streamsize(huge.size()));
  const auto textFile = folder.path() / "notes.png";
  std::ofstream(textFile) << "just some text, not a picture\n";

  EXPECT_FALSE(decodeFirstPicture(textFile));
  EXPECT_TRUE(records.empty());
  EXPECT_FALSE(decodeFirstPicture(hugeFile));
  log::setSink(nullptr);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, log::Level::Error);
  EXPECT_NE(records[0].message.find("huge.gif"), std::string::npos) << records[0].message;
  EXPECT_NE(records[0].message.find("65535 x 65535"), std::string::npos) << records[0].message;
}

}  // namespace
}  // namespace tovrelle::imaging
