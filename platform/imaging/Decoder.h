#pragma once
// Image decoding: JPEG on libjpeg-turbo (reduced while decoding, turned
// upright by its EXIF orientation), the other stills (PNG, WebP, BMP, TIFF)
// and the animated containers (GIF, animated PNG) on FFmpeg. A decoder hands out each frame as
// the whole picture at that point of the animation (GIF disposal, APNG
// dispose and blend applied by the codec), composited over black.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/imaging/ByteSource.h"
#include "platform/imaging/FrameDelay.h"

namespace tovrelle::imaging {

struct Limits {
  // Largest picture a frame of a PNG, GIF, WebP, BMP or TIFF may have; bigger
  // ones are refused before the codec allocates anything (64 MP, 256 MB as
  // 8-bit RGBA). A JPEG has no such limit: it is decoded reduced.
  int64_t maxPixels = int64_t{64} * 1024 * 1024;
  // Frames past this count are not read.
  size_t maxFrames = 100000;
};

enum class Container { Still, Gif, AnimatedPng };

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

// What a file holds, from one pass over its frames without decoding them.
struct ImageInfo {
  Container container = Container::Still;
  int width = 0;   // as the header states it; 0 when the header does not say
  int height = 0;
  std::vector<FrameDelays> frames;  // one entry per frame; a still has one
};

// Reads the container's frame list. None when the bytes are not one of the
// image formats above.
std::optional<ImageInfo> inspectImage(std::shared_ptr<const ByteSource> bytes, const Limits& limits = {});

class Decoder {
 public:
  enum class Result { Frame, End, Error };

  // None when the bytes are not one of the image formats above.
  static std::unique_ptr<Decoder> open(std::shared_ptr<const ByteSource> bytes, const Limits& limits = {});
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  Container container() const;
  // Decodes the next frame into `out` (reusing its storage). Error means this
  // frame could not be decoded; the frames after it may still be read.
  Result next(Canvas& out);
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
// library image loads it through here.
std::optional<Canvas> decodeFirstPicture(const std::filesystem::path& file);

}  // namespace tovrelle::imaging
