#include "platform/capture/convert/FrameConverter.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/log/Log.h"

namespace tovrelle::capture {

const char* pixelFormatName(PixelFormat format) {
  switch (format) {
    case PixelFormat::bgrx: return "BGRx";
    case PixelFormat::bgra: return "BGRA";
    case PixelFormat::rgbx: return "RGBx";
    case PixelFormat::rgba: return "RGBA";
    case PixelFormat::xrgb: return "xRGB";
    case PixelFormat::xbgr: return "xBGR";
    case PixelFormat::argb: return "ARGB";
    case PixelFormat::abgr: return "ABGR";
    case PixelFormat::rgb: return "RGB";
    case PixelFormat::bgr: return "BGR";
    case PixelFormat::yuy2: return "YUY2";
    case PixelFormat::uyvy: return "UYVY";
    case PixelFormat::nv12: return "NV12";
    case PixelFormat::i420: return "I420";
    case PixelFormat::mjpeg: return "MJPEG";
    case PixelFormat::unknown: break;
  }
  return "unknown";
}

bool isCompressed(PixelFormat format) { return format == PixelFormat::mjpeg; }

std::string describe(const VideoFormat& f) {
  if (f.fpsNum > 0 && f.fpsDen > 0)
    return log::format("%s %dx%d@%d/%d", pixelFormatName(f.format), f.width, f.height, f.fpsNum, f.fpsDen);
  return log::format("%s %dx%d", pixelFormatName(f.format), f.width, f.height);
}

namespace {

const log::Logger& logger() {
  static const log::Logger instance("ossel.tovrelle", "Capture");
  return instance;
}

AVPixelFormat avFormat(PixelFormat f) {
  switch (f) {
    case PixelFormat::bgrx: return AV_PIX_FMT_BGR0;
    case PixelFormat::bgra: return AV_PIX_FMT_BGRA;
    case PixelFormat::rgbx: return AV_PIX_FMT_RGB0;
    case PixelFormat::rgba: return AV_PIX_FMT_RGBA;
    case PixelFormat::xrgb: return AV_PIX_FMT_0RGB;
    case PixelFormat::xbgr: return AV_PIX_FMT_0BGR;
    case PixelFormat::argb: return AV_PIX_FMT_ARGB;
    case PixelFormat::abgr: return AV_PIX_FMT_ABGR;
    case PixelFormat::rgb: return AV_PIX_FMT_RGB24;
    case PixelFormat::bgr: return AV_PIX_FMT_BGR24;
    case PixelFormat::yuy2: return AV_PIX_FMT_YUYV422;
    case PixelFormat::uyvy: return AV_PIX_FMT_UYVY422;
    case PixelFormat::nv12: return AV_PIX_FMT_NV12;
    case PixelFormat::i420: return AV_PIX_FMT_YUV420P;
    case PixelFormat::mjpeg:
    case PixelFormat::unknown: break;
  }
  return AV_PIX_FMT_NONE;
}

int packedBytesPerPixel(PixelFormat f) {
  switch (f) {
    case PixelFormat::rgb:
    case PixelFormat::bgr: return 3;
    case PixelFormat::yuy2:
    case PixelFormat::uyvy: return 2;
    case PixelFormat::nv12:
    case PixelFormat::i420:
    case PixelFormat::mjpeg:
    case PixelFormat::unknown: return 0;
    default: return 4;
  }
}

// The centred part of a width x height picture with the output's aspect
// ratio, on even coordinates so chroma planes crop cleanly.
struct Crop {
  int x = 0, y = 0, width = 0, height = 0;
};

Crop centreCrop(int width, int height, int outWidth, int outHeight) {
  Crop c{0, 0, width, height};
  const int64_t lhs = static_cast<int64_t>(width) * outHeight;
  const int64_t rhs = static_cast<int64_t>(height) * outWidth;
  if (lhs > rhs) {
    c.width = static_cast<int>(rhs / outHeight) & ~1;
  } else if (lhs < rhs) {
    c.height = static_cast<int>(lhs / outWidth) & ~1;
  }
  c.width = std::max(c.width, std::min(width, 2));
  c.height = std::max(c.height, std::min(height, 2));
  c.x = ((width - c.width) / 2) & ~1;
  c.y = ((height - c.height) / 2) & ~1;
  return c;
}

// BGRx to BGRA at the same size is a copy that also makes alpha opaque.
void copyOpaque(const uint8_t* src, uint8_t* dst, int width) {
  int x = 0;
#if defined(__SSE2__)
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  for (; x + 16 <= width; x += 16) {
    const __m128i* s = reinterpret_cast<const __m128i*>(src + 4 * x);
    __m128i* d = reinterpret_cast<__m128i*>(dst + 4 * x);
    __m128i a = _mm_loadu_si128(s), b = _mm_loadu_si128(s + 1), c = _mm_loadu_si128(s + 2),
            e = _mm_loadu_si128(s + 3);
    _mm_store_si128(d, _mm_or_si128(a, alpha));
    _mm_store_si128(d + 1, _mm_or_si128(b, alpha));
    _mm_store_si128(d + 2, _mm_or_si128(c, alpha));
    _mm_store_si128(d + 3, _mm_or_si128(e, alpha));
  }
#endif
  for (; x < width; ++x) {
    uint32_t v;
    std::memcpy(&v, src + 4 * x, 4);
    v |= 0xFF000000u;
    std::memcpy(dst + 4 * x, &v, 4);
  }
}

// Packed 4:2:2 (YUY2 when `yFirst`, else UYVY) into three planes. The scaler
// has a fast path for planar YUV at the same size but not for packed input,
// so splitting first is several times cheaper than scaling from YUY2.
void splitPacked422(const uint8_t* src, int width, bool yFirst, uint8_t* y, uint8_t* u, uint8_t* v) {
  int x = 0;
#if defined(__SSE2__)
  const __m128i low = _mm_set1_epi16(0x00FF);
  const __m128i zero = _mm_setzero_si128();
  for (; x + 16 <= width; x += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * x));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * x + 16));
    __m128i ya = yFirst ? _mm_and_si128(a, low) : _mm_srli_epi16(a, 8);
    __m128i yb = yFirst ? _mm_and_si128(b, low) : _mm_srli_epi16(b, 8);
    __m128i ca = yFirst ? _mm_srli_epi16(a, 8) : _mm_and_si128(a, low);
    __m128i cb = yFirst ? _mm_srli_epi16(b, 8) : _mm_and_si128(b, low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), _mm_packus_epi16(ya, yb));
    __m128i c = _mm_packus_epi16(ca, cb);  // U0 V0 U1 V1 ...
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), _mm_packus_epi16(_mm_and_si128(c, low), zero));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_packus_epi16(_mm_srli_epi16(c, 8), zero));
  }
#endif
  for (; x + 1 < width; x += 2) {
    const uint8_t* p = src + 2 * x;
    y[x] = yFirst ? p[0] : p[1];
    y[x + 1] = yFirst ? p[2] : p[3];
    u[x / 2] = yFirst ? p[1] : p[0];
    v[x / 2] = yFirst ? p[3] : p[2];
  }
}

// Interleaved UV (NV12's second plane) into U and V planes; `pairs` samples each.
void splitUV(const uint8_t* src, int pairs, uint8_t* u, uint8_t* v) {
  int x = 0;
#if defined(__SSE2__)
  const __m128i low = _mm_set1_epi16(0x00FF);
  for (; x + 16 <= pairs; x += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * x));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * x + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x),
                     _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + x), _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
  }
#endif
  for (; x < pairs; ++x) {
    u[x] = src[2 * x];
    v[x] = src[2 * x + 1];
  }
}

class Converter final : public FrameConverter {
 public:
  Converter(const VideoFormat& input, int outWidth, int outHeight)
      : input_(input), outWidth_(outWidth), outHeight_(outHeight),
        pool_(frames::PixelBufferPool::create(outWidth, outHeight, 8)) {}

  ~Converter() override {
    sws_freeContext(sws_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    av_buffer_pool_uninit(&packetPool_);
  }

  bool setUp() {
    if (isCompressed(input_.format)) {
      const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
      if (!codec) return false;
      codec_ = avcodec_alloc_context3(codec);
      if (!codec_) return false;
      // Corrupt frames are reported once by us; keep the decoder's own
      // complaints out of the process log.
      codec_->log_level_offset = AV_LOG_TRACE + 16;
      codec_->thread_count = 1;
      // Report damaged frames as errors rather than concealing them with the last picture.
      codec_->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
      if (avcodec_open2(codec_, codec, nullptr) < 0) return false;
      frame_ = av_frame_alloc();
      packet_ = av_packet_alloc();
      return frame_ && packet_;
    }
    crop_ = centreCrop(input_.width, input_.height, outWidth_, outHeight_);
    sameSizeCopy_ = (input_.format == PixelFormat::bgrx || input_.format == PixelFormat::bgra) &&
                    input_.width == outWidth_ && input_.height == outHeight_;
    if (sameSizeCopy_) return true;
    AVPixelFormat format = avFormat(input_.format);
    if (input_.format == PixelFormat::yuy2 || input_.format == PixelFormat::uyvy) {
      // Split into planar 4:2:2 first (buffers made once, reused for every frame).
      planes_.assign(static_cast<size_t>(crop_.width) * crop_.height * 2, 0);
      format = AV_PIX_FMT_YUV422P;
    } else if (input_.format == PixelFormat::nv12) {
      // Luma is read in place; only the chroma pairs are split.
      planes_.assign(static_cast<size_t>(crop_.width / 2) * ((crop_.height + 1) / 2) * 2, 0);
      format = AV_PIX_FMT_YUV420P;
    }
    return prepareScaler(format, crop_.width, crop_.height, false);
  }

  frames::PixelBufferRef convert(const RawFrame& frame) override {
    return isCompressed(input_.format) ? decode(frame) : convertRaw(frame);
  }

  const VideoFormat& input() const override { return input_; }
  uint64_t droppedFrames() const override { return dropped_; }

 private:
  void drop(const char* reason) {
    if (dropped_++ == 0)
      logger().error("dropping unusable camera frame (%s): %s; later ones are dropped silently",
                     describe(input_).c_str(), reason);
  }

  bool prepareScaler(AVPixelFormat format, int width, int height, bool fullRange) {
    if (format == AV_PIX_FMT_NONE || width <= 0 || height <= 0) return false;
    if (sws_ && format == swsFormat_ && width == swsWidth_ && height == swsHeight_ && fullRange == swsFullRange_)
      return true;
    sws_freeContext(sws_);
    sws_ = sws_getContext(width, height, format, outWidth_, outHeight_, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr,
                          nullptr, nullptr);
    if (!sws_) return false;
    swsFormat_ = format;
    swsWidth_ = width;
    swsHeight_ = height;
    swsFullRange_ = fullRange;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
      const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
      sws_setColorspaceDetails(sws_, coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
    }
    return true;
  }

  frames::PixelBufferRef scale(const uint8_t* const planes[4], const int strides[4], int height) {
    auto out = pool_->acquire();
    if (!out) return nullptr;
    uint8_t* dst[4] = {out->data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {out->bytesPerRow(), 0, 0, 0};
    if (sws_scale(sws_, planes, strides, 0, height, dst, dstStride) != outHeight_) return nullptr;
    return out;
  }

  frames::PixelBufferRef convertRaw(const RawFrame& frame) {
    const int w = input_.width, h = input_.height;
    if (frame.planes < 1 || !frame.data[0]) {
      drop("no picture data");
      return nullptr;
    }
    const uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
    int strides[4] = {0, 0, 0, 0};
    const int chromaRows = (h + 1) / 2;

    if (int bpp = packedBytesPerPixel(input_.format); bpp > 0) {
      const int stride = frame.stride[0] > 0 ? frame.stride[0] : w * bpp;
      const size_t need = static_cast<size_t>(stride) * static_cast<size_t>(h - 1) + static_cast<size_t>(w) * bpp;
      if (stride < w * bpp || frame.size[0] < need) {
        drop(log::format("%zu bytes with stride %d, expected %zu", frame.size[0], stride, need).c_str());
        return nullptr;
      }
      const uint8_t* base = frame.data[0];
      if (sameSizeCopy_) {
        auto out = pool_->acquire();
        if (!out) return nullptr;
        for (int y = 0; y < h; ++y) copyOpaque(base + static_cast<size_t>(y) * stride, out->row(y), w);
        return out;
      }
      planes[0] = base + static_cast<size_t>(crop_.y) * stride + static_cast<size_t>(crop_.x) * bpp;
      strides[0] = stride;
      if (!planes_.empty()) {
        const bool yFirst = input_.format == PixelFormat::yuy2;
        const int cw = crop_.width, ch = crop_.width / 2;
        uint8_t* yp = planes_.data();
        uint8_t* up = yp + static_cast<size_t>(cw) * crop_.height;
        uint8_t* vp = up + static_cast<size_t>(ch) * crop_.height;
        for (int row = 0; row < crop_.height; ++row)
          splitPacked422(planes[0] + static_cast<size_t>(row) * stride, cw, yFirst, yp + static_cast<size_t>(row) * cw,
                         up + static_cast<size_t>(row) * ch, vp + static_cast<size_t>(row) * ch);
        const uint8_t* split[4] = {yp, up, vp, nullptr};
        const int splitStrides[4] = {cw, ch, ch, 0};
        return scale(split, splitStrides, crop_.height);
      }
      return scale(planes, strides, crop_.height);
    }

    // Planar: NV12 (Y + interleaved UV) or I420 (Y, U, V).
    const bool nv12 = input_.format == PixelFormat::nv12;
    const int yStride = frame.stride[0] > 0 ? frame.stride[0] : w;
    int cStride = frame.planes > 1 && frame.stride[1] > 0 ? frame.stride[1] : (nv12 ? yStride : (yStride + 1) / 2);
    const size_t ySize = static_cast<size_t>(yStride) * h;
    const size_t cSize = static_cast<size_t>(cStride) * chromaRows;
    const int minChroma = nv12 ? ((w + 1) / 2) * 2 : (w + 1) / 2;
    if (yStride < w || cStride < minChroma) {
      drop(log::format("strides %d/%d too small for width %d", yStride, cStride, w).c_str());
      return nullptr;
    }
    const uint8_t* y = frame.data[0];
    const uint8_t* c1 = nullptr;
    const uint8_t* c2 = nullptr;
    const int chromaPlanes = nv12 ? 1 : 2;
    if (frame.planes > chromaPlanes) {
      bool ok = frame.size[0] >= ySize;
      for (int i = 1; i <= chromaPlanes; ++i) ok = ok && frame.data[i] && frame.size[i] >= cSize;
      if (!ok) {
        drop("plane smaller than the format needs");
        return nullptr;
      }
      c1 = frame.data[1];
      c2 = nv12 ? nullptr : frame.data[2];
    } else {
      const size_t need = ySize + cSize * chromaPlanes;
      if (frame.size[0] < need) {
        drop(log::format("%zu bytes, expected %zu", frame.size[0], need).c_str());
        return nullptr;
      }
      c1 = y + ySize;
      c2 = nv12 ? nullptr : c1 + cSize;
    }
    planes[0] = y + static_cast<size_t>(crop_.y) * yStride + crop_.x;
    strides[0] = yStride;
    if (nv12) {
      const uint8_t* uv = c1 + static_cast<size_t>(crop_.y / 2) * cStride + crop_.x;
      const int pairs = crop_.width / 2, rows = (crop_.height + 1) / 2;
      uint8_t* up = planes_.data();
      uint8_t* vp = up + static_cast<size_t>(pairs) * rows;
      for (int row = 0; row < rows; ++row)
        splitUV(uv + static_cast<size_t>(row) * cStride, pairs, up + static_cast<size_t>(row) * pairs,
                vp + static_cast<size_t>(row) * pairs);
      planes[1] = up;
      planes[2] = vp;
      strides[1] = strides[2] = pairs;
    } else {
      planes[1] = c1 + static_cast<size_t>(crop_.y / 2) * cStride + crop_.x / 2;
      planes[2] = c2 + static_cast<size_t>(crop_.y / 2) * cStride + crop_.x / 2;
      strides[1] = strides[2] = cStride;
    }
    return scale(planes, strides, crop_.height);
  }

  frames::PixelBufferRef decode(const RawFrame& frame) {
    if (frame.planes < 1 || !frame.data[0] || frame.size[0] < 4) {
      drop("empty compressed frame");
      return nullptr;
    }
    const size_t size = frame.size[0];
    if (size > static_cast<size_t>(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) {
      drop("compressed frame too large");
      return nullptr;
    }
    // The decoder reads a little past the end, so the bytes go into a padded
    // buffer from a pool that only grows when a bigger frame comes along.
    const size_t padded = size + AV_INPUT_BUFFER_PADDING_SIZE;
    if (!packetPool_ || padded > packetPoolSize_) {
      av_buffer_pool_uninit(&packetPool_);
      packetPoolSize_ = std::max(padded * 3 / 2, static_cast<size_t>(64 * 1024));
      packetPool_ = av_buffer_pool_init(packetPoolSize_, nullptr);
      if (!packetPool_) return nullptr;
    }
    AVBufferRef* buffer = av_buffer_pool_get(packetPool_);
    if (!buffer) return nullptr;
    std::memcpy(buffer->data, frame.data[0], size);
    std::memset(buffer->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    packet_->buf = buffer;
    packet_->data = buffer->data;
    packet_->size = static_cast<int>(size);
    int rc = avcodec_send_packet(codec_, packet_);
    av_packet_unref(packet_);
    if (rc < 0) {
      drop("corrupt MJPEG data");
      avcodec_flush_buffers(codec_);
      return nullptr;
    }
    rc = avcodec_receive_frame(codec_, frame_);
    if (rc < 0) {
      drop("corrupt MJPEG data");
      avcodec_flush_buffers(codec_);
      return nullptr;
    }
    struct FrameUnref {
      AVFrame* f;
      ~FrameUnref() { av_frame_unref(f); }
    } unref{frame_};
    if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT)) {
      drop("corrupt MJPEG data");
      return nullptr;
    }
    if (frame_->width != input_.width || frame_->height != input_.height) {
      drop(log::format("decoded %dx%d", frame_->width, frame_->height).c_str());
      return nullptr;
    }
    AVPixelFormat format = static_cast<AVPixelFormat>(frame_->format);
    bool fullRange = frame_->color_range == AVCOL_RANGE_JPEG;
    switch (format) {
      case AV_PIX_FMT_YUVJ420P: format = AV_PIX_FMT_YUV420P; fullRange = true; break;
      case AV_PIX_FMT_YUVJ422P: format = AV_PIX_FMT_YUV422P; fullRange = true; break;
      case AV_PIX_FMT_YUVJ444P: format = AV_PIX_FMT_YUV444P; fullRange = true; break;
      case AV_PIX_FMT_YUVJ440P: format = AV_PIX_FMT_YUV440P; fullRange = true; break;
      default: break;
    }
    const Crop crop = centreCrop(frame_->width, frame_->height, outWidth_, outHeight_);
    if (!prepareScaler(format, crop.width, crop.height, fullRange)) {
      drop("unsupported decoded layout");
      return nullptr;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
    int strides[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4 && frame_->data[i]; ++i) {
      const bool chroma = (i == 1 || i == 2) && desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
      const int sx = chroma ? desc->log2_chroma_w : 0;
      const int sy = chroma ? desc->log2_chroma_h : 0;
      planes[i] = frame_->data[i] + static_cast<ptrdiff_t>(crop.y >> sy) * frame_->linesize[i] + (crop.x >> sx);
      strides[i] = frame_->linesize[i];
    }
    return scale(planes, strides, crop.height);
  }

  VideoFormat input_;
  int outWidth_;
  int outHeight_;
  std::shared_ptr<frames::PixelBufferPool> pool_;
  Crop crop_;
  bool sameSizeCopy_ = false;
  std::vector<uint8_t> planes_;  // planar copy of packed or semi-planar input
  SwsContext* sws_ = nullptr;
  AVPixelFormat swsFormat_ = AV_PIX_FMT_NONE;
  int swsWidth_ = 0;
  int swsHeight_ = 0;
  bool swsFullRange_ = false;
  AVCodecContext* codec_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVBufferPool* packetPool_ = nullptr;
  size_t packetPoolSize_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace

std::unique_ptr<FrameConverter> FrameConverter::create(const VideoFormat& input, int outWidth, int outHeight) {
  if (input.format == PixelFormat::unknown || input.width < 2 || input.height < 2 || input.width > kMaxSide ||
      input.height > kMaxSide || outWidth < 2 || outHeight < 2)
    return nullptr;
  if (!isCompressed(input.format) && avFormat(input.format) == AV_PIX_FMT_NONE) return nullptr;
  auto converter = std::make_unique<Converter>(input, outWidth, outHeight);
  if (!converter->setUp()) return nullptr;
  return converter;
}

}  // namespace tovrelle::capture
