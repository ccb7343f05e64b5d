#pragma once
// Still PNGs on libpng, read a few rows at a time and reduced on the way, so
// a large picture costs its reduced canvas and a strip, never its full size
// (an 8192 x 8192 PNG whole is 256 MB). Animated and interlaced PNGs are
// left to FFmpeg: the first needs its frames composed, the second has no
// complete row before the last pass.
#include "platform/imaging/ByteSource.h"
#include "platform/imaging/Decoder.h"
#include "shared/Result.h"

namespace tovrelle::imaging {

// A PNG that is neither animated nor interlaced, judged from the chunks in
// front of its image data.
bool isStreamablePng(const ByteSource& bytes);

// Decodes the picture into `out`, its longest side at most kMaxCanvasSide.
// An error when it is broken or larger than `limits.maxPixels`.
Result<void> decodePng(const ByteSource& bytes, const Limits& limits, Canvas& out);

}  // namespace tovrelle::imaging
