#pragma once
// Image decoding: JPEG on libjpeg-turbo (reduced while decoding, turned
// upright by its EXIF orientation), still PNGs on libpng (reduced while
// reading), WebP still and animated on libwebp, and the rest (interlaced
// PNG, BMP, TIFF, GIF, animated PNG) on FFmpeg. A decoder hands out each
// frame as the whole picture at that point of the animation (GIF disposal,
// APNG and WebP dispose and blend applied by the codec), composited over
// black.
//
// Memory: a JPEG, a still PNG or a still WebP costs its reduced canvas (at
// most kMaxCanvasSide squared, 64 MB) and a strip of rows. The others are
// decoded whole first, so they are bounded by Limits::maxPixels.
//
// Reentrant: one decoder per thread at a time; the codec log they share is
// under its own lock.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/imaging/ByteSource.h"
#include "platform/imaging/FrameDelay.h"
#include "shared/Result.h"

namespace tovrelle::imaging {

struct Limits {
  // Largest picture a frame of a PNG, GIF, WebP, BMP or TIFF may have; bigger
  // ones are refused before the codec allocates anything (64 MP, 256 MB as
  // 8-bit RGBA; 8192 x 8192 is the largest square). A JPEG has no such
  // limit: it is decoded reduced.
  int64_t maxPixels = int64_t{64} * 1024 * 1024;
  // Frames past this count are not read.
  size_t maxFrames = 100000;
};

enum class Container { Still, Gif, AnimatedPng, AnimatedWebp };

// Longest side of a decoded picture; larger ones are reduced while decoding.
// Far more than a 1280x720 frame or a preview shows, and 64 MB at most.
inline constexpr int kMaxCanvasSide = 4096;

// A frame as 32-bit BGRA (blue, green, red, alpha 255) with transparency
// already laid over black. Rows are `stride` bytes apart (64-byte aligned).
struct Canvas {
  int width = 0;
  int height = 0;
  // The picture's own size, which is larger when it had to be reduced.
  int sourceWidth = 0;
  int sourceHeight = 0;
  size_t stride = 0;
  std::vector<uint8_t> pixels;
  const uint8_t* row(int y) const { return pixels.data() + static_cast<size_t>(y) * stride; }
  // Sets the size, reusing the storage when it is large enough.
  void resize(int w, int h);
};

// The size a picture of w x h is decoded at: itself, or reduced (aspect
// kept) to kMaxCanvasSide on its longest side.
std::pair<int, int> reducedSize(int w, int h);
// Makes every pixel opaque as if laid over black (for the codec back ends).
void layOverBlack(Canvas& canvas);

// Why bytes give no picture. Nearly always they are not one of the image
// formats above (or broken); a picture past Limits is told apart, as that is
// the refusal worth a line in the log.
struct DecodeError {
  enum class Kind { notAnImage, tooLarge };
  Kind kind = Kind::notAnImage;
  std::string message;
};
template <typename T>
using Decoded = Result<T, DecodeError>;
// The refusal of a w x h picture past `limits`, worded for the log.
DecodeError tooLarge(int64_t width, int64_t height, const Limits& limits);

// What a file holds, from one pass over its frames without decoding them.
struct ImageInfo {
  Container container = Container::Still;
  int width = 0;  // as the header states it; 0 when the header does not say
  int height = 0;
  std::vector<FrameDelays> frames;  // one entry per frame; a still has one
};

// Reads the container's frame list; an error when the bytes are not one of
// the image formats above or are past `limits`.
Decoded<ImageInfo> inspectImage(std::shared_ptr<const ByteSource> bytes, const Limits& limits = {});

class Decoder {
 public:
  enum class Step { Frame, End, Error };

  // An error when the bytes are not one of the image formats above, or the
  // picture is too large for `limits`.
  static Decoded<std::unique_ptr<Decoder>> open(std::shared_ptr<const ByteSource> bytes, const Limits& limits = {});
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  Container container() const;
  // Decodes the next frame into `out` (reusing its storage). Error means this
  // frame could not be decoded; the frames after it may still be read.
  Step next(Canvas& out);
  // Starts again at the first frame; false if the bytes cannot be reopened.
  bool rewind();

  struct State;

 private:
  explicit Decoder(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The first picture of an image file (a still, or an animation's first frame),
// upright and reduced as above; none when the file cannot be opened as
// openImageFile() allows or is not an image. Every place that shows a
// library image loads it through here. A picture refused for its size is
// said in one log line.
std::optional<Canvas> decodeFirstPicture(const std::filesystem::path& file);

// Sends FFmpeg's own messages through our logger: errors as error lines
// (at most a few per ten seconds, the rest counted), warnings and chatter
// nowhere unless TOVRELLE_CODEC_DEBUG is set. Opening a decoder does this
// once; calling it again changes nothing.
void routeCodecMessages();

}  // namespace tovrelle::imaging
