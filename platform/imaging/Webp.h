#pragma once
// WebP on libwebp, still and animated: FFmpeg in Debian 12 cannot decode an
// animated WebP, and libwebp's animation decoder applies each frame's blend
// and disposal. A still is reduced while decoding by libwebp's own scaler.
#include <cstdint>
#include <memory>

#include "platform/imaging/ByteSource.h"
#include "platform/imaging/Decoder.h"

namespace tovrelle::imaging {

// "RIFF", a size, "WEBP".
bool looksLikeWebp(const ByteSource& bytes);

// WebP files larger than this are not read: libwebp wants the whole file in
// memory, and no picture we would show needs more.
inline constexpr uint64_t kMaxWebpFileBytes = uint64_t{64} * 1024 * 1024;

class WebpDecoder {
 public:
  // An error when the bytes are not a complete WebP, or its canvas is past
  // `limits` (checked before any pixel memory is taken; frames past
  // limits.maxFrames are not read).
  static Decoded<std::unique_ptr<WebpDecoder>> open(const ByteSource& bytes, const Limits& limits);
  ~WebpDecoder();
  WebpDecoder(const WebpDecoder&) = delete;
  WebpDecoder& operator=(const WebpDecoder&) = delete;

  const ImageInfo& info() const { return info_; }
  // The whole picture at the next frame, over black, reduced to at most
  // kMaxCanvasSide on a side.
  Decoder::Step next(Canvas& out);
  void rewind();

  struct Impl;

 private:
  explicit WebpDecoder(std::unique_ptr<Impl> impl, ImageInfo info);
  std::unique_ptr<Impl> impl_;
  ImageInfo info_;
};

}  // namespace tovrelle::imaging
