#pragma once
// Every pixel format the product reads or writes, and what each one is called
// elsewhere: its V4L2 fourcc and its PipeWire (SPA) video format. Names are in
// memory byte order, as SPA names them: bgra is blue, green, red, then a byte
// that is alpha (bgra) or ignored (bgrx). Planar formats: i4xx has three
// planes, nv12 a luma plane and interleaved U/V; yuy2/uyvy are packed 4:2:2.
#include <linux/videodev2.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace tovrelle::frames {

enum class PixelFormat : uint8_t {
  unknown,
  bgra,
  bgrx,
  rgba,
  rgbx,
  argb,
  xrgb,
  abgr,
  xbgr,
  rgb,
  bgr,
  i420,
  i422,
  i444,
  nv12,
  yuy2,
  uyvy,
  mjpeg,
  gray8,  // only ever refused: a camera offering nothing else shows nothing
};

struct PixelFormatInfo {
  PixelFormat format;
  const char* name;   // as logs and tovrelle-snap's --format spell it
  uint32_t v4l2;      // V4L2_PIX_FMT_*; 0: V4L2 has no single-buffer code
  uint32_t spa;       // spa_video_format; 0: not raw video
  int planes;         // 0: compressed
  int bytesPerPixel;  // of the first plane
  int chromaShiftX;   // log2 of the chroma subsampling, planar formats
  int chromaShiftY;
};

// SPA's video format numbers, which the PipeWire code checks against its
// headers at compile time; this layer does not include them.
namespace spa {
inline constexpr uint32_t I420 = 2, YUY2 = 4, UYVY = 5, RGBx = 7, BGRx = 8, xRGB = 9, xBGR = 10, RGBA = 11, BGRA = 12,
                          ARGB = 13, ABGR = 14, RGB = 15, BGR = 16, Y42B = 18, Y444 = 20, NV12 = 23, GRAY8 = 25;
}

inline constexpr PixelFormatInfo kPixelFormats[] = {
    {PixelFormat::unknown, "unknown", 0, 0, 0, 0, 0, 0},
    {PixelFormat::bgra, "BGRA", V4L2_PIX_FMT_ABGR32, spa::BGRA, 1, 4, 0, 0},
    {PixelFormat::bgrx, "BGRx", V4L2_PIX_FMT_XBGR32, spa::BGRx, 1, 4, 0, 0},
    {PixelFormat::rgba, "RGBA", V4L2_PIX_FMT_RGBA32, spa::RGBA, 1, 4, 0, 0},
    {PixelFormat::rgbx, "RGBx", V4L2_PIX_FMT_RGBX32, spa::RGBx, 1, 4, 0, 0},
    {PixelFormat::argb, "ARGB", V4L2_PIX_FMT_ARGB32, spa::ARGB, 1, 4, 0, 0},
    {PixelFormat::xrgb, "xRGB", V4L2_PIX_FMT_XRGB32, spa::xRGB, 1, 4, 0, 0},
    {PixelFormat::abgr, "ABGR", V4L2_PIX_FMT_BGRA32, spa::ABGR, 1, 4, 0, 0},
    {PixelFormat::xbgr, "xBGR", V4L2_PIX_FMT_BGRX32, spa::xBGR, 1, 4, 0, 0},
    {PixelFormat::rgb, "RGB", V4L2_PIX_FMT_RGB24, spa::RGB, 1, 3, 0, 0},
    {PixelFormat::bgr, "BGR", V4L2_PIX_FMT_BGR24, spa::BGR, 1, 3, 0, 0},
    {PixelFormat::i420, "I420", V4L2_PIX_FMT_YUV420, spa::I420, 3, 1, 1, 1},
    {PixelFormat::i422, "I422", V4L2_PIX_FMT_YUV422P, spa::Y42B, 3, 1, 1, 0},
    {PixelFormat::i444, "I444", 0, spa::Y444, 3, 1, 0, 0},
    {PixelFormat::nv12, "NV12", V4L2_PIX_FMT_NV12, spa::NV12, 2, 1, 1, 1},
    {PixelFormat::yuy2, "YUY2", V4L2_PIX_FMT_YUYV, spa::YUY2, 1, 2, 0, 0},
    {PixelFormat::uyvy, "UYVY", V4L2_PIX_FMT_UYVY, spa::UYVY, 1, 2, 0, 0},
    {PixelFormat::mjpeg, "MJPEG", V4L2_PIX_FMT_MJPEG, 0, 0, 0, 0, 0},
    {PixelFormat::gray8, "GRAY8", V4L2_PIX_FMT_GREY, spa::GRAY8, 1, 1, 0, 0},
};

constexpr const PixelFormatInfo& info(PixelFormat format) {
  const auto i = static_cast<size_t>(format);
  return i < std::size(kPixelFormats) ? kPixelFormats[i] : kPixelFormats[0];
}
constexpr const char* pixelFormatName(PixelFormat format) { return info(format).name; }
constexpr bool isCompressed(PixelFormat format) { return format != PixelFormat::unknown && info(format).planes == 0; }

// The format an SPA video format number stands for; unknown when none does.
constexpr PixelFormat fromSpa(uint32_t spaFormat) {
  for (const auto& f : kPixelFormats)
    if (spaFormat != 0 && f.spa == spaFormat) return f.format;
  return PixelFormat::unknown;
}
// By name, as --format options take it (exact spelling).
constexpr std::optional<PixelFormat> fromName(std::string_view name) {
  for (const auto& f : kPixelFormats)
    if (f.format != PixelFormat::unknown && name == f.name) return f.format;
  return std::nullopt;
}

// The table is indexed by the enum.
constexpr bool tableInEnumOrder() {
  for (size_t i = 0; i < std::size(kPixelFormats); ++i)
    if (static_cast<size_t>(kPixelFormats[i].format) != i) return false;
  return true;
}
static_assert(tableInEnumOrder());

// The formats the virtual camera offers its clients, in order of preference:
// its own BGRA, then what clients that cannot read BGRA (browsers' WebRTC
// engines among them) take.
inline constexpr PixelFormat kOfferedFormats[] = {PixelFormat::bgra, PixelFormat::i420, PixelFormat::nv12,
                                                  PixelFormat::yuy2};

}  // namespace tovrelle::frames
