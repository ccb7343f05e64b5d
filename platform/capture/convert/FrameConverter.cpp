#include "platform/capture/convert/FrameConverter.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/capture/convert/JpegPlanes.h"
#include "platform/frames/AspectFit.h"
#include "platform/log/Log.h"

namespace tovrelle::capture {

std::string describe(const VideoFormat& f) {
  if (f.fpsNum > 0 && f.fpsDen > 0)
    return log::format("%s %dx%d@%d/%d", frames::pixelFormatName(f.format), f.width, f.height, f.fpsNum, f.fpsDen);
  return log::format("%s %dx%d", frames::pixelFormatName(f.format), f.width, f.height);
}

namespace {

const log::Logger& logger() {
  static const log::Logger instance("ossel.tovrelle", "Capture");
  return instance;
}

// Bytes per pixel of the single-plane formats; 0 for the others.
int packedBytesPerPixel(frames::PixelFormat f) {
  const auto& i = frames::info(f);
  return i.planes == 1 ? i.bytesPerPixel : 0;
}

class Converter final : public FrameConverter {
 public:
  Converter(const VideoFormat& input, int outWidth, int outHeight)
      : input_(input), outWidth_(outWidth), outHeight_(outHeight) {}
  bool setUp() {
    if (frames::isCompressed(input_.format)) jpeg_ = std::make_unique<JpegPlanes>();
    return true;
  }

  frames::VideoFrame convert(const RawFrame& frame) override {
    return frames::isCompressed(input_.format) ? decode(frame) : readRaw(frame);
  }

  const VideoFormat& input() const override { return input_; }
  uint64_t droppedFrames() const override { return dropped_; }

 private:
  frames::VideoFrame drop(const char* reason) {
    if (dropped_++ == 0)
      logger().error("dropping unusable camera frame (%s): %s; later ones are dropped silently",
                     describe(input_).c_str(), reason);
    return {};
  }

  // A frame over a block of `size` bytes from the store.
  frames::VideoFrame blank(frames::PixelFormat format, int width, int height, size_t size) {
    frames::VideoFrame f;
    auto block = store_.acquire(size);
    if (!block) return f;
    f.format = format;
    f.width = width;
    f.height = height;
    f.storage = block;
    return f;
  }

  // A view of the camera's buffer where its layout is one we write from,
  // else BGRA converted into memory of our own (the RGB orders).
  frames::VideoFrame readRaw(const RawFrame& frame) {
    using namespace libyuv;
    const int w = input_.width, h = input_.height;
    if (frame.planes < 1 || !frame.data[0]) return drop("no picture data");
    frames::VideoFrame f;
    f.width = w;
    f.height = h;

    if (int bpp = packedBytesPerPixel(input_.format); bpp > 0) {
      const int stride = frame.stride[0] > 0 ? frame.stride[0] : w * bpp;
      const size_t need = static_cast<size_t>(stride) * static_cast<size_t>(h - 1) + static_cast<size_t>(w) * bpp;
      if (stride < w * bpp || frame.size[0] < need)
        return drop(log::format("%zu bytes with stride %d, expected %zu", frame.size[0], stride, need).c_str());
      const uint8_t* src = frame.data[0];
      f.plane[0] = src;
      f.stride[0] = stride;
      switch (input_.format) {
        case frames::PixelFormat::yuy2: f.format = frames::PixelFormat::yuy2; return f;
        case frames::PixelFormat::uyvy: f.format = frames::PixelFormat::uyvy; return f;
        case frames::PixelFormat::bgrx:
        case frames::PixelFormat::bgra: f.format = frames::PixelFormat::bgra; return f;
        default: break;
      }
      const frames::PackedLayout packed = frames::packedLayout(frames::PixelFormat::bgra, w, h);
      f = blank(frames::PixelFormat::bgra, w, h, packed.size);
      if (!f.storage) return {};
      auto* dst = static_cast<uint8_t*>(const_cast<void*>(f.storage.get()));
      const int ds = packed.stride[0];
      int rc = 0;
      switch (input_.format) {
        case frames::PixelFormat::rgb:
          rc = RAWToARGB(src, stride, dst, ds, w, h);
          f.opaque = true;
          break;
        case frames::PixelFormat::bgr:
          rc = RGB24ToARGB(src, stride, dst, ds, w, h);
          f.opaque = true;
          break;
        case frames::PixelFormat::rgbx:
        case frames::PixelFormat::rgba: rc = ABGRToARGB(src, stride, dst, ds, w, h); break;
        case frames::PixelFormat::xrgb:
        case frames::PixelFormat::argb: rc = BGRAToARGB(src, stride, dst, ds, w, h); break;
        default: rc = RGBAToARGB(src, stride, dst, ds, w, h); break;  // xBGR, ABGR
      }
      if (rc != 0) return drop("cannot read the pixel layout");
      f.plane[0] = dst;
      f.stride[0] = ds;
      return f;
    }

    // Planar: NV12 (Y + interleaved UV) or I420 (Y, U, V).
    const bool nv12 = input_.format == frames::PixelFormat::nv12;
    const int chromaRows = (h + 1) / 2;
    const int yStride = frame.stride[0] > 0 ? frame.stride[0] : w;
    const int cStride =
        frame.planes > 1 && frame.stride[1] > 0 ? frame.stride[1] : (nv12 ? yStride : (yStride + 1) / 2);
    const size_t ySize = static_cast<size_t>(yStride) * h;
    const size_t cSize = static_cast<size_t>(cStride) * chromaRows;
    const int minChroma = nv12 ? ((w + 1) / 2) * 2 : (w + 1) / 2;
    if (yStride < w || cStride < minChroma)
      return drop(log::format("strides %d/%d too small for width %d", yStride, cStride, w).c_str());
    const int chromaPlanes = nv12 ? 1 : 2;
    f.format = nv12 ? frames::PixelFormat::nv12 : frames::PixelFormat::i420;
    f.plane[0] = frame.data[0];
    f.stride[0] = yStride;
    if (frame.planes > chromaPlanes) {
      bool ok = frame.size[0] >= ySize;
      for (int i = 1; i <= chromaPlanes; ++i) ok = ok && frame.data[i] && frame.size[i] >= cSize;
      if (!ok) return drop("plane smaller than the format needs");
      for (int i = 1; i <= chromaPlanes; ++i) f.plane[i] = frame.data[i];
    } else {
      const size_t need = ySize + cSize * chromaPlanes;
      if (frame.size[0] < need) return drop(log::format("%zu bytes, expected %zu", frame.size[0], need).c_str());
      for (int i = 1; i <= chromaPlanes; ++i) f.plane[i] = frame.data[0] + ySize + cSize * (i - 1);
    }
    for (int i = 1; i <= chromaPlanes; ++i) f.stride[i] = cStride;
    return f;
  }

  // The DCT scaling denominator: the picture is reduced while it is decoded
  // when it is large enough, never below the output. Only 1/2, 1/4 and 1/8:
  // the library's other factors (3/4 for 1080p) decode slower than full size.
  int reduction(int width, int height) const {
    // Only the 16:9 centre is shown; it must keep the output's size.
    const frames::PixelRect crop = frames::aspectFitPixels(outWidth_, outHeight_, width, height);
    int denom = 1;
    while (denom < 8 && crop.width / (denom * 2) >= outWidth_ && crop.height / (denom * 2) >= outHeight_) denom *= 2;
    return denom;
  }

  frames::VideoFrame decode(const RawFrame& frame) {
    if (frame.planes < 1 || !frame.data[0] || frame.size[0] < 4) return drop("empty compressed frame");
    if (frame.size[0] > static_cast<size_t>(INT32_MAX)) return drop("compressed frame too large");
    std::string otherSize;
    frames::VideoFrame f;
    const std::string failure = jpeg_->decode(
        frame.data[0], frame.size[0],
        [&](int width, int height) {
          // The declared size is checked before anything is allocated for it.
          if (width == input_.width && height == input_.height) return reduction(width, height);
          otherSize = log::format("a %dx%d picture in the stream", width, height);
          return 0;
        },
        [&](const JpegPlanes::Layout& l) -> uint8_t* {
          f = blank(l.format, l.width, l.height, l.size);
          if (!f.storage) return nullptr;
          auto* base = static_cast<uint8_t*>(const_cast<void*>(f.storage.get()));
          for (int i = 0; i < 3; ++i) {
            f.plane[i] = base + l.offset[i];
            f.stride[i] = l.stride[i];
          }
          f.range = frames::Range::full;
          return base;
        });
    if (!otherSize.empty()) return drop(otherSize.c_str());
    if (!failure.empty()) return drop(failure.c_str());
    return f;
  }

  VideoFormat input_;
  int outWidth_;
  int outHeight_;
  std::unique_ptr<JpegPlanes> jpeg_;
  frames::FrameStore store_;
  uint64_t dropped_ = 0;
};

}  // namespace

std::unique_ptr<FrameConverter> FrameConverter::create(const VideoFormat& input, int outWidth, int outHeight) {
  if (input.format == frames::PixelFormat::unknown || input.width < 2 || input.height < 2 || input.width > kMaxSide ||
      input.height > kMaxSide || outWidth < 2 || outHeight < 2)
    return nullptr;
  auto converter = std::make_unique<Converter>(input, outWidth, outHeight);
  if (!converter->setUp()) return nullptr;
  return converter;
}

}  // namespace tovrelle::capture
