#pragma once
// JPEG stills on libjpeg-turbo: decoded reduced by the codec's own DCT
// scaling, streamed through the scaler a strip at a time, and turned upright
// by the file's EXIF orientation.
#include <cstddef>
#include <cstdint>

#include "platform/imaging/ByteSource.h"
#include "platform/imaging/Decoder.h"
#include "shared/Result.h"

namespace tovrelle::imaging {

bool looksLikeJpeg(const ByteSource& bytes);

struct JpegHeader {
  int width = 0;  // as stored, before orientation
  int height = 0;
  int orientation = 1;  // EXIF 1..8; 1 when absent or unreadable
};
// An error when libjpeg cannot read the header or it states no size.
Result<JpegHeader> readJpegHeader(const ByteSource& bytes);

// The EXIF orientation (1..8) in an APP1 payload starting "Exif\0\0"; 1 when
// the payload says none or cannot be read.
int exifOrientation(const uint8_t* data, size_t size);

// Decodes the picture into `out`, its longest side at most kMaxCanvasSide,
// upright. `out.sourceWidth/Height` are the upright full size. An error says
// what libjpeg could not read.
Result<void> decodeJpeg(const ByteSource& bytes, Canvas& out);

// FFmpeg's "JPEG range" YUV formats name the full-range variant of a plain
// one; the scaler wants the plain format with full range set instead.
int withoutJpegRange(int avPixelFormat, bool* fullRange);

}  // namespace tovrelle::imaging
