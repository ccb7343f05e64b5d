#include "platform/imaging/Png.h"

#include <png.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

#include "platform/imaging/FrameDelay.h"

namespace tovrelle::imaging {

bool isStreamablePng(const ByteSource& bytes) {
  uint8_t head[8];
  if (bytes.read(0, head, 8) != 8 || std::memcmp(head, kPngSignature, 8) != 0) return false;
  uint64_t pos = 8;
  bool interlaced = true;
  for (int chunk = 0; chunk < 4096; ++chunk) {
    if (bytes.read(pos, head, 8) != 8) return false;
    const uint64_t length = (uint64_t{head[0]} << 24) | (uint64_t{head[1]} << 16) | (uint64_t{head[2]} << 8) | head[3];
    if (std::memcmp(head + 4, "IHDR", 4) == 0) {
      uint8_t method = 1;
      if (length != 13 || bytes.read(pos + 8 + 12, &method, 1) != 1) return false;
      interlaced = method != 0;
    }
    if (std::memcmp(head + 4, "acTL", 4) == 0) return false;
    if (std::memcmp(head + 4, "IDAT", 4) == 0) return !interlaced;
    pos += 12 + length;
  }
  return false;
}

namespace {

// All the state the read keeps, on the heap: libpng reports errors by
// longjmp, which must skip no destructor.
struct PngRead {
  const ByteSource* bytes = nullptr;
  std::string problem;  // why the read stopped
  uint64_t position = 0;
  png_structp png = nullptr;
  png_infop info = nullptr;
  SwsContext* scaler = nullptr;
  std::vector<uint8_t> strip;  // a few source rows at a time
  ~PngRead() {
    png_destroy_read_struct(&png, &info, nullptr);
    sws_freeContext(scaler);
  }
};

void readBytes(png_structp png, png_bytep out, png_size_t length) {
  auto* read = static_cast<PngRead*>(png_get_io_ptr(png));
  const long n = read->bytes->read(read->position, out, length);
  if (n != static_cast<long>(length)) png_error(png, "truncated");
  read->position += length;
}

// libpng's messages are about the file's bytes: kept as the reason, never
// printed to stderr.
void onError(png_structp png, png_const_charp message) {
  if (auto* read = static_cast<PngRead*>(png_get_error_ptr(png)))
    read->problem = std::string("libpng cannot read it: ") + (message ? message : "");
  png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

// Everything between the header and the last row; returns through longjmp
// on a broken file. No object with a destructor lives in this frame.
bool readRows(PngRead* read, const Limits* limits, Canvas* out) {
  png_structp png = read->png;
  png_infop info = read->info;
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, read, &readBytes);
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_read_info(png, info);
  const png_uint_32 sw = png_get_image_width(png, info), sh = png_get_image_height(png, info);
  if (sw == 0 || sh == 0 || static_cast<int64_t>(sw) * sh > limits->maxPixels) {
    read->problem = sw == 0 || sh == 0 ? "its header states no size" : tooLarge(sw, sh, *limits).message;
    return false;
  }
  // Any layout in, 8-bit BGRA out.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_filler(png, 0xff, PNG_FILLER_AFTER);
  png_set_bgr(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != static_cast<size_t>(sw) * 4) {
    read->problem = "its rows do not become 8-bit BGRA";
    return false;
  }

  const auto [w, h] = reducedSize(static_cast<int>(sw), static_cast<int>(sh));
  out->resize(w, h);
  out->sourceWidth = static_cast<int>(sw);
  out->sourceHeight = static_cast<int>(sh);
  if (w == static_cast<int>(sw) && h == static_cast<int>(sh)) {
    for (int y = 0; y < h; ++y) png_read_row(png, out->pixels.data() + static_cast<size_t>(y) * out->stride, nullptr);
  } else {
    // The scaler takes the picture in slices from the top and keeps only the
    // rows its filter still needs; the same filter as FFmpeg's other stills.
    read->scaler = sws_getContext(static_cast<int>(sw), static_cast<int>(sh), AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_BGRA,
                                  SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (!read->scaler) {
      read->problem = "no scaler for its size";
      return false;
    }
    const size_t rowBytes = static_cast<size_t>(sw) * 4;
    constexpr png_uint_32 kStripRows = 16;
    read->strip.resize(rowBytes * kStripRows);
    uint8_t* planes[4] = {out->pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(out->stride), 0, 0, 0};
    for (png_uint_32 top = 0; top < sh; top += kStripRows) {
      const png_uint_32 rows = std::min(kStripRows, sh - top);
      for (png_uint_32 r = 0; r < rows; ++r) png_read_row(png, read->strip.data() + r * rowBytes, nullptr);
      const uint8_t* slice[4] = {read->strip.data(), nullptr, nullptr, nullptr};
      const int sliceStride[4] = {static_cast<int>(rowBytes), 0, 0, 0};
      sws_scale(read->scaler, slice, sliceStride, static_cast<int>(top), static_cast<int>(rows), planes, strides);
    }
  }
  return true;
}

}  // namespace

Result<void> decodePng(const ByteSource& bytes, const Limits& limits, Canvas& out) {
  PngRead read;
  read.bytes = &bytes;
  read.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &read, &onError, &onWarning);
  if (!read.png) return Unexpected{"out of memory"};
  read.info = png_create_info_struct(read.png);
  if (!read.info) return Unexpected{"out of memory"};
  if (!readRows(&read, &limits, &out)) return Unexpected{read.problem.empty() ? "libpng cannot read it" : read.problem};
  layOverBlack(out);
  return {};
}

}  // namespace tovrelle::imaging
