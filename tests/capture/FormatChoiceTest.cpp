// What we read from a camera node's EnumFormat params and which offer we take.
#include <gtest/gtest.h>

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "platform/capture/pipewire/FormatChoice.h"

using namespace tovrelle;
using namespace tovrelle::capture;

namespace {

struct Builder {
  uint8_t storage[4096];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
};

const spa_pod* raw(Builder& bb, uint32_t format, int w, int h, int fps) {
  spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(w), static_cast<uint32_t>(h));
  spa_fraction rate = SPA_FRACTION(static_cast<uint32_t>(fps), 1);
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &bb.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format),
      SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
}

VideoFormat vf(frames::PixelFormat f, int w, int h, int fps = 30) { return {f, w, h, fps, 1}; }

TEST(FormatChoice, ReadsPlainChoiceAndRangeOffers) {
  Builder bb;
  EXPECT_EQ(parseOffers(raw(bb, SPA_VIDEO_FORMAT_YUY2, 640, 480, 30), 1280, 720),
            std::vector<VideoFormat>{vf(frames::PixelFormat::yuy2, 640, 480)});

  // A v4l2-style offer: format and rate as enums (first item is the default).
  spa_rectangle size = SPA_RECTANGLE(1280, 720);
  spa_fraction r30 = SPA_FRACTION(30, 1), r15 = SPA_FRACTION(15, 1), r60 = SPA_FRACTION(60, 1);
  auto* enums = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &bb.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(4, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_GRAY8,
                             SPA_VIDEO_FORMAT_I420),
      SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_ENUM_Fraction(4, &r15, &r60, &r15, &r30)));
  EXPECT_EQ(parseOffers(enums, 1280, 720), (std::vector<VideoFormat>{vf(frames::PixelFormat::nv12, 1280, 720),
                                                                     vf(frames::PixelFormat::i420, 1280, 720)}))
      << "GRAY8 is skipped; 30 is the best rate up to 30";

  // A source with free size and rate ranges settles on 1280x720 at 30.
  spa_rectangle def = SPA_RECTANGLE(320, 240), lo = SPA_RECTANGLE(1, 1), hi = SPA_RECTANGLE(4096, 4096);
  spa_fraction fdef = SPA_FRACTION(25, 1), flo = SPA_FRACTION(0, 1), fhi = SPA_FRACTION(120, 1);
  auto* ranges = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &bb.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&def, &lo, &hi),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&fdef, &flo, &fhi)));
  EXPECT_EQ(parseOffers(ranges, 1280, 720), std::vector<VideoFormat>{vf(frames::PixelFormat::bgrx, 1280, 720)});

  auto* mjpg = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &bb.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&r30)));
  EXPECT_EQ(parseOffers(mjpg, 1280, 720), std::vector<VideoFormat>{vf(frames::PixelFormat::mjpeg, 1280, 720)});

  // Not video, not a format, h264: nothing.
  auto* h264 = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &bb.b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_h264), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size)));
  EXPECT_TRUE(parseOffers(h264, 1280, 720).empty());
  EXPECT_TRUE(parseOffers(nullptr, 1280, 720).empty());
  auto* huge = raw(bb, SPA_VIDEO_FORMAT_YUY2, 100000, 480, 30);
  EXPECT_TRUE(parseOffers(huge, 1280, 720).empty());
}

TEST(FormatChoice, PrefersFullRateThenNoUpscalingThenTheCheapestConversion) {
  // A typical webcam: raw 720p only at 10 fps, MJPEG 720p at 30.
  EXPECT_EQ(chooseBest({vf(frames::PixelFormat::yuy2, 1280, 720, 10), vf(frames::PixelFormat::mjpeg, 1280, 720, 30),
                        vf(frames::PixelFormat::yuy2, 640, 480, 30)},
                       1280, 720),
            vf(frames::PixelFormat::mjpeg, 1280, 720, 30));
  // Same size and rate: raw beats MJPEG, BGRx beats YUV.
  EXPECT_EQ(
      chooseBest({vf(frames::PixelFormat::mjpeg, 1280, 720), vf(frames::PixelFormat::yuy2, 1280, 720)}, 1280, 720),
      vf(frames::PixelFormat::yuy2, 1280, 720));
  EXPECT_EQ(chooseBest({vf(frames::PixelFormat::nv12, 1280, 720), vf(frames::PixelFormat::bgrx, 1280, 720)}, 1280, 720),
            vf(frames::PixelFormat::bgrx, 1280, 720));
  // The smallest size that needs no upscaling.
  EXPECT_EQ(chooseBest({vf(frames::PixelFormat::yuy2, 3840, 2160), vf(frames::PixelFormat::yuy2, 1920, 1080),
                        vf(frames::PixelFormat::yuy2, 640, 480)},
                       1280, 720),
            vf(frames::PixelFormat::yuy2, 1920, 1080));
  // Nothing big enough: the biggest there is.
  EXPECT_EQ(chooseBest({vf(frames::PixelFormat::yuy2, 320, 240), vf(frames::PixelFormat::yuy2, 640, 480)}, 1280, 720),
            vf(frames::PixelFormat::yuy2, 640, 480));
  EXPECT_FALSE(chooseBest({}, 1280, 720));
}

TEST(FormatChoice, TheFormatWeAskForReadsBackAsTheSame) {
  Builder bb;
  for (auto f : {vf(frames::PixelFormat::yuy2, 640, 480), vf(frames::PixelFormat::mjpeg, 1920, 1080, 15),
                 vf(frames::PixelFormat::nv12, 1280, 720, 25)}) {
    const spa_pod* pod = buildFormatParam(&bb.b, f);
    ASSERT_TRUE(pod);
    EXPECT_EQ(parseNegotiated(pod), f);
  }
}

}  // namespace
