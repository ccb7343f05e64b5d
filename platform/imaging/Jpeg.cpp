#include "platform/imaging/Jpeg.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <jpeglib.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#include <libyuv/planar_functions.h>
#include <libyuv/rotate_argb.h>

namespace tovrelle::imaging {
namespace {

// What libjpeg may allocate for one picture beyond the rows it hands out: a
// progressive file keeps all its coefficients, about 2 bytes per sample.
constexpr long kJpegWorkingMemory = 384L * 1024 * 1024;
// Rows read and scaled per step: the strip is all the full-width memory a
// baseline picture needs.
constexpr int kStripRows = 16;

struct Source {
  jpeg_source_mgr pub{};
  const ByteSource* bytes = nullptr;
  uint64_t position = 0;
  uint8_t buffer[64 * 1024];

  static void init(j_decompress_ptr) {}
  static void term(j_decompress_ptr) {}
  static boolean fill(j_decompress_ptr cinfo) {
    auto* self = reinterpret_cast<Source*>(cinfo->src);
    const long n = self->bytes->read(self->position, self->buffer, sizeof self->buffer);
    if (n <= 0) {
      // A cut-off file ends as if complete; the missing rows stay grey.
      static const uint8_t kEnd[2] = {0xFF, JPEG_EOI};
      self->pub.next_input_byte = kEnd;
      self->pub.bytes_in_buffer = 2;
      return TRUE;
    }
    self->position += static_cast<uint64_t>(n);
    self->pub.next_input_byte = self->buffer;
    self->pub.bytes_in_buffer = static_cast<size_t>(n);
    return TRUE;
  }
  static void skip(j_decompress_ptr cinfo, long count) {
    auto* self = reinterpret_cast<Source*>(cinfo->src);
    if (count <= 0) return;
    const auto n = static_cast<size_t>(count);
    if (n <= self->pub.bytes_in_buffer) {
      self->pub.next_input_byte += n;
      self->pub.bytes_in_buffer -= n;
      return;
    }
    self->position += n - self->pub.bytes_in_buffer;
    self->pub.bytes_in_buffer = 0;
  }

  void install(j_decompress_ptr cinfo, const ByteSource& from) {
    bytes = &from;
    pub.init_source = init;
    pub.fill_input_buffer = fill;
    pub.skip_input_data = skip;
    pub.resync_to_restart = jpeg_resync_to_restart;
    pub.term_source = term;
    cinfo->src = &pub;
  }
};

struct Errors {
  jpeg_error_mgr pub{};
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX] = {};  // libjpeg's words for what stopped it
  static void fail(j_common_ptr cinfo) {
    auto* self = reinterpret_cast<Errors*>(cinfo->err);
    self->pub.format_message(cinfo, self->message);
    std::longjmp(self->jump, 1);
  }
  static void quiet(j_common_ptr) {}
};

uint32_t readU32(const uint8_t* p, bool little) {
  return little ? uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24
                : uint32_t{p[3]} | uint32_t{p[2]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[0]} << 24;
}
uint16_t readU16(const uint8_t* p, bool little) {
  return static_cast<uint16_t>(little ? p[0] | p[1] << 8 : p[1] | p[0] << 8);
}

int orientationOf(j_decompress_ptr cinfo) {
  for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next) {
    if (m->marker == JPEG_APP0 + 1) {
      const int o = exifOrientation(m->data, m->data_length);
      if (o != 1) return o;
    }
  }
  return 1;
}

// `in` turned upright into `out` (libyuv's ARGB is our BGRA byte order).
bool applyOrientation(const Canvas& in, int orientation, Canvas& out) {
  const bool swaps = orientation >= 5;
  out.resize(swaps ? in.height : in.width, swaps ? in.width : in.height);
  const uint8_t* src = in.pixels.data();
  const int ss = static_cast<int>(in.stride);
  uint8_t* dst = out.pixels.data();
  const int ds = static_cast<int>(out.stride);
  const int w = in.width, h = in.height;
  // A negative height reads the source bottom row first: a vertical flip.
  switch (orientation) {
    case 2: return libyuv::ARGBMirror(src, ss, dst, ds, w, h) == 0;
    case 3: return libyuv::ARGBRotate(src, ss, dst, ds, w, h, libyuv::kRotate180) == 0;
    case 4: return libyuv::ARGBCopy(src, ss, dst, ds, w, -h) == 0;
    case 5: return libyuv::ARGBRotate(src, ss, dst, ds, w, -h, libyuv::kRotate90) == 0;
    case 6: return libyuv::ARGBRotate(src, ss, dst, ds, w, h, libyuv::kRotate90) == 0;
    case 7: return libyuv::ARGBRotate(src, ss, dst, ds, w, -h, libyuv::kRotate270) == 0;
    case 8: return libyuv::ARGBRotate(src, ss, dst, ds, w, h, libyuv::kRotate270) == 0;
    default: return false;
  }
}

// Reads the header (and the EXIF marker) into `cinfo`; an error on a file
// that is not a JPEG libjpeg can read. Jumps are confined to this C-style scope.
Result<void> decodeInto(const ByteSource& bytes, Canvas& reduced, int& orientation, int& fullWidth, int& fullHeight,
                        bool headerOnly) {
  // Everything that changes after setjmp lives behind `work`, whose pointer
  // does not, so a jump back finds it intact.
  struct Work {
    Source source;
    std::vector<uint8_t> strip;
    std::vector<JSAMPROW> rows = std::vector<JSAMPROW>(kStripRows);
    SwsContext* sws = nullptr;
    ~Work() { sws_freeContext(sws); }
  };
  const auto work = std::make_unique<Work>();
  jpeg_decompress_struct cinfo{};
  Errors errors;
  cinfo.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = Errors::fail;
  errors.pub.output_message = Errors::quiet;
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return Unexpected{std::string("libjpeg cannot read it: ") + errors.message};
  }
  jpeg_create_decompress(&cinfo);
  cinfo.mem->max_memory_to_use = kJpegWorkingMemory;
  work->source.install(&cinfo, bytes);
  jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);
  orientation = orientationOf(&cinfo);
  fullWidth = static_cast<int>(cinfo.image_width);
  fullHeight = static_cast<int>(cinfo.image_height);
  if (headerOnly || fullWidth <= 0 || fullHeight <= 0) {
    jpeg_destroy_decompress(&cinfo);
    if (fullWidth <= 0 || fullHeight <= 0) return Unexpected{"its header states no size"};
    return {};
  }

  // The size we keep: the longest side at most kMaxCanvasSide. The codec
  // reduces by the smallest multiple of 1/8 that stays at or above it, the
  // scaler does the rest.
  const double k = std::min(1.0, static_cast<double>(kMaxCanvasSide) / std::max(fullWidth, fullHeight));
  const int w = std::clamp(static_cast<int>(std::lround(fullWidth * k)), 1, kMaxCanvasSide);
  const int h = std::clamp(static_cast<int>(std::lround(fullHeight * k)), 1, kMaxCanvasSide);
  cinfo.scale_num = static_cast<unsigned>(std::clamp(static_cast<int>(std::ceil(8 * k - 1e-9)), 1, 8));
  cinfo.scale_denom = 8;
  cinfo.out_color_space = JCS_EXT_BGRA;
  cinfo.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&cinfo);
  const int ow = static_cast<int>(cinfo.output_width), oh = static_cast<int>(cinfo.output_height);
  const size_t rowBytes = static_cast<size_t>(ow) * 4;
  auto& strip = work->strip;
  auto& rows = work->rows;
  strip.resize(rowBytes * kStripRows);
  for (int i = 0; i < kStripRows; ++i) rows[static_cast<size_t>(i)] = strip.data() + rowBytes * static_cast<size_t>(i);
  SwsContext* sws = work->sws = sws_getContext(ow, oh, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_BGRA,
                                               SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
  if (!sws) {
    std::snprintf(errors.message, sizeof errors.message, "no scaler from %d x %d to %d x %d", ow, oh, w, h);
    std::longjmp(errors.jump, 1);
  }
  reduced.resize(w, h);
  uint8_t* dst[4] = {reduced.pixels.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {static_cast<int>(reduced.stride), 0, 0, 0};
  const int srcStride[4] = {static_cast<int>(rowBytes), 0, 0, 0};
  while (cinfo.output_scanline < cinfo.output_height) {
    const int top = static_cast<int>(cinfo.output_scanline);
    int got = 0;
    while (got < kStripRows && cinfo.output_scanline < cinfo.output_height)
      got +=
          static_cast<int>(jpeg_read_scanlines(&cinfo, rows.data() + got, static_cast<JDIMENSION>(kStripRows - got)));
    const uint8_t* src[4] = {strip.data(), nullptr, nullptr, nullptr};
    sws_scale(sws, src, srcStride, top, got, dst, dstStride);
  }
  jpeg_destroy_decompress(&cinfo);
  return {};
}

}  // namespace

bool looksLikeJpeg(const ByteSource& bytes) {
  uint8_t head[3];
  return bytes.read(0, head, 3) == 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

int exifOrientation(const uint8_t* data, size_t size) {
  if (size < 14 || std::memcmp(data, "Exif\0\0", 6) != 0) return 1;
  const uint8_t* tiff = data + 6;
  const size_t n = size - 6;
  bool little;
  if (tiff[0] == 'I' && tiff[1] == 'I')
    little = true;
  else if (tiff[0] == 'M' && tiff[1] == 'M')
    little = false;
  else
    return 1;
  if (readU16(tiff + 2, little) != 42) return 1;
  const uint32_t ifd = readU32(tiff + 4, little);
  if (ifd > n || n - ifd < 2) return 1;
  const unsigned count = readU16(tiff + ifd, little);
  for (unsigned i = 0; i < count; ++i) {
    const size_t entry = size_t{ifd} + 2 + size_t{i} * 12;
    if (entry + 12 > n) return 1;
    if (readU16(tiff + entry, little) != 0x0112) continue;
    // SHORT, one value, stored in the first two bytes of the value field.
    if (readU16(tiff + entry + 2, little) != 3) return 1;
    const int value = readU16(tiff + entry + 8, little);
    return value >= 1 && value <= 8 ? value : 1;
  }
  return 1;
}

Result<JpegHeader> readJpegHeader(const ByteSource& bytes) {
  JpegHeader header;
  Canvas unused;
  if (auto read = decodeInto(bytes, unused, header.orientation, header.width, header.height, true); !read)
    return Unexpected{read.error()};
  return header;
}

Result<void> decodeJpeg(const ByteSource& bytes, Canvas& out) {
  int orientation = 1, fullWidth = 0, fullHeight = 0;
  Canvas reduced;
  if (auto decoded = decodeInto(bytes, reduced, orientation, fullWidth, fullHeight, false); !decoded) return decoded;
  const bool swaps = orientation >= 5;
  if (orientation == 1) {
    out = std::move(reduced);
  } else if (!applyOrientation(reduced, orientation, out)) {
    return Unexpected{"cannot turn it upright (EXIF orientation " + std::to_string(orientation) + ")"};
  }
  out.sourceWidth = swaps ? fullHeight : fullWidth;
  out.sourceHeight = swaps ? fullWidth : fullHeight;
  return {};
}

int withoutJpegRange(int format, bool* fullRange) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P: *fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: *fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: *fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: *fullRange = true; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: *fullRange = true; return AV_PIX_FMT_YUV411P;
    default: return format;
  }
}

}  // namespace tovrelle::imaging
