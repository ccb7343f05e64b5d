// What a client of the virtual camera receives from each kind of frame: the
// camera's own layouts (limited-range YUV, full-range JPEG planes) and drawn
// BGRA pictures, written once into BGRA and I420 buffers at 1280x720.
#include <gtest/gtest.h>
#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>

#include <cstdlib>
#include <vector>

#include "platform/camera/FrameConversion.h"
#include "platform/frames/AspectFit.h"
#include "platform/frames/VideoFrame.h"

using namespace tovrelle;

namespace {

struct Rgb {
  int r, g, b;
};
// Bars across the picture: white, yellow, red, green, blue, black.
constexpr Rgb kBars[] = {{255, 255, 255}, {255, 255, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}};
constexpr int kBarCount = 6;

// Bars in BGRA; rows outside the 16:9 centre are magenta, which must never show.
frames::FrameBufferRef bars(int width, int height) {
  auto f = frames::makeFrameBuffer(width, height);
  const int visible = std::min(height, width * 9 / 16), top = (height - visible) / 2;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const Rgb c = (y < top || y >= top + visible) ? Rgb{255, 0, 255} : kBars[x * kBarCount / width];
      uint8_t* p = f->row(y) + 4 * x;
      p[0] = uint8_t(c.b), p[1] = uint8_t(c.g), p[2] = uint8_t(c.r), p[3] = 0;
    }
  return f;
}

// The bars as a camera would deliver them, in `format` (and range).
frames::VideoFrame asCamera(const frames::FrameBuffer& src, frames::PixelFormat format,
                            frames::Range range = frames::Range::limited) {
  const int w = src.width(), h = src.height();
  const auto packed = frames::packedLayout(format, w, h);
  auto bytes = std::make_shared<std::vector<uint8_t>>(packed.size);
  uint8_t* d = bytes->data();
  const bool full = range == frames::Range::full;
  switch (format) {
    case frames::PixelFormat::i420:
      (full ? libyuv::ARGBToJ420 : libyuv::ARGBToI420)(src.data(), src.bytesPerRow(), d, packed.stride[0],
                                                       d + packed.offset[1], packed.stride[1], d + packed.offset[2],
                                                       packed.stride[2], w, h);
      break;
    case frames::PixelFormat::i422:
      (full ? libyuv::ARGBToJ422 : libyuv::ARGBToI422)(src.data(), src.bytesPerRow(), d, packed.stride[0],
                                                       d + packed.offset[1], packed.stride[1], d + packed.offset[2],
                                                       packed.stride[2], w, h);
      break;
    case frames::PixelFormat::nv12:
      libyuv::ARGBToNV12(src.data(), src.bytesPerRow(), d, packed.stride[0], d + packed.offset[1], packed.stride[1], w,
                         h);
      break;
    case frames::PixelFormat::yuy2: libyuv::ARGBToYUY2(src.data(), src.bytesPerRow(), d, packed.stride[0], w, h); break;
    default: ADD_FAILURE() << "no camera of this format in the test";
  }
  frames::VideoFrame f;
  f.format = format;
  f.range = range;
  f.width = w;
  f.height = h;
  for (int i = 0; i < packed.planes; ++i) {
    f.plane[i] = d + packed.offset[i];
    f.stride[i] = packed.stride[i];
  }
  f.storage = bytes;
  return f;
}

bool near(int a, int b, int tolerance) { return std::abs(a - b) <= tolerance; }

// Checks both clients' view of the bars; `what` names the case.
void expectBars(const frames::VideoFrame& frame, const std::string& what) {
  frames::FrameWriter writer;
  std::vector<uint8_t> bgra(frames::packedLayout(frames::PixelFormat::bgra, 1280, 720).size);
  const auto l = frames::packedLayout(frames::PixelFormat::i420, 1280, 720);
  std::vector<uint8_t> i420(l.size);
  ASSERT_TRUE(writer.write(frame, frames::PixelFormat::bgra, 1280, 720, bgra.data())) << what;
  ASSERT_TRUE(writer.write(frame, frames::PixelFormat::i420, 1280, 720, i420.data())) << what;
  int alphaMin = 255;
  for (size_t i = 3; i < bgra.size(); i += 4) alphaMin = std::min<int>(alphaMin, bgra[i]);
  EXPECT_EQ(alphaMin, 255) << what;
  // Each bar's centre, and the outermost columns (where a scaler's edge handling shows).
  std::vector<std::pair<int, int>> probes{{0, 1}, {kBarCount - 1, 1278}};
  for (int bar = 0; bar < kBarCount; ++bar) probes.emplace_back(bar, (2 * bar + 1) * 1280 / (2 * kBarCount));
  for (const auto& [bar, x] : probes) {
    const Rgb want = kBars[bar];
    const camera::Yuv yuv = camera::yuvFromRGB(want.r, want.g, want.b);
    for (int y : {1, 360, 718}) {  // top, middle and bottom rows: no magenta from outside the crop
      const uint8_t* p = bgra.data() + (size_t(y) * 1280 + x) * 4;
      EXPECT_TRUE(near(p[2], want.r, 12) && near(p[1], want.g, 12) && near(p[0], want.b, 12))
          << what << " BGRA bar " << bar << " row " << y << ": " << int(p[2]) << "," << int(p[1]) << "," << int(p[0]);
      const int py = i420[size_t(y) * 1280 + x], pu = i420[l.offset[1] + size_t(y / 2) * 640 + x / 2],
                pv = i420[l.offset[2] + size_t(y / 2) * 640 + x / 2];
      EXPECT_TRUE(near(py, yuv.y, 4) && near(pu, yuv.u, 6) && near(pv, yuv.v, 6))
          << what << " I420 bar " << bar << " row " << y << ": " << py << "," << pu << "," << pv << " want "
          << int(yuv.y) << "," << int(yuv.u) << "," << int(yuv.v);
    }
  }
}

}  // namespace

TEST(FrameWriter, CameraLayoutsReachBGRAAndI420ClientsCroppedWithTheirColoursAndRange) {
  auto hd = bars(1280, 720), fullHd = bars(1920, 1080), vga = bars(640, 480);
  expectBars(asCamera(*hd, frames::PixelFormat::yuy2), "YUY2 1280x720");
  expectBars(asCamera(*vga, frames::PixelFormat::yuy2), "YUY2 640x480");
  expectBars(asCamera(*fullHd, frames::PixelFormat::nv12), "NV12 1920x1080");
  expectBars(asCamera(*vga, frames::PixelFormat::nv12), "NV12 640x480");
  expectBars(asCamera(*hd, frames::PixelFormat::i420), "I420 1280x720");
  // Decoded JPEG: full range, so white must come out as 235 (not 255) and
  // black as 16 (not 0) for a YUV client.
  expectBars(asCamera(*hd, frames::PixelFormat::i420, frames::Range::full), "J420 1280x720");
  expectBars(asCamera(*fullHd, frames::PixelFormat::i422, frames::Range::full), "J422 1920x1080");
  expectBars(frames::VideoFrame(bars(1280, 720)), "drawn BGRA");
  expectBars(frames::VideoFrame(bars(1920, 1440)), "BGRA camera 1920x1440");
}

TEST(FrameWriter, ADrawnPictureIsConvertedOnceAndAgainAfterItIsRedrawn) {
  auto picture = bars(1280, 720);
  frames::FrameWriter writer;
  const auto l = frames::packedLayout(frames::PixelFormat::i420, 1280, 720);
  std::vector<uint8_t> a(l.size), b(l.size);
  ASSERT_TRUE(writer.write(frames::VideoFrame(picture), frames::PixelFormat::i420, 1280, 720, a.data()));
  EXPECT_NE(picture->derived(frames::PixelFormat::i420), nullptr) << "the I420 form is kept with the picture";
  // A buffer drawn again (a pool hands it out anew) must not show its old picture.
  for (int y = 0; y < 720; ++y) std::fill(picture->row(y), picture->row(y) + 1280 * 4, uint8_t(255));
  ASSERT_TRUE(writer.write(frames::VideoFrame(picture), frames::PixelFormat::i420, 1280, 720, b.data()));
  EXPECT_EQ(b[360 * 1280 + 1100], camera::yuvFromRGB(255, 255, 255).y) << "was the black bar";
  EXPECT_NE(a[360 * 1280 + 1100], b[360 * 1280 + 1100]);
}

TEST(AspectFit, LetterboxesAndCentreCropsWithOneRule) {
  // A 4:3 picture in a 16:9 frame: full height, centred, bars left and right.
  EXPECT_EQ(frames::aspectFitPixels(640, 480, 1280, 720), (frames::PixelRect{160, 0, 960, 720}));
  // The 16:9 centre of a 4:3 camera frame.
  EXPECT_EQ(frames::aspectFitPixels(1280, 720, 640, 480, 2), (frames::PixelRect{0, 60, 640, 360}));
  // On even pixels for subsampled chroma: 1363.6 x 767 becomes 1362 x 766.
  EXPECT_EQ(frames::aspectFitPixels(1280, 720, 1366, 767, 2), (frames::PixelRect{2, 0, 1362, 766}));
  // Exact where a side fits: a 2:1 picture spans the whole width.
  const frames::FitRect r = frames::aspectFit(200, 100, 1280, 720);
  EXPECT_EQ(r.x, 0.0);
  EXPECT_EQ(r.width, 1280.0);
  EXPECT_EQ(r.y, 40.0);
  EXPECT_EQ(r.height, 640.0);
  EXPECT_TRUE(frames::aspectFitPixels(0, 480, 1280, 720).isEmpty());
}
