#pragma once
// A picture in the layout its producer made it: a drawn BGRA buffer, or a
// camera frame's own planes (packed or planar YUV, decoded JPEG planes). It is
// converted once, where it is written into a client's buffer or the preview.
// Reentrant: a frame and a writer belong to one thread at a time; the store
// is Thread-safe, as its blocks come back on whatever thread drops them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/frames/FrameBuffer.h"
#include "platform/frames/PixelFormat.h"

namespace tovrelle::frames {

// Video from cameras is limited range (16-235); JPEG is full range (0-255).
enum class Range { limited, full };

struct VideoFrame {
  VideoFrame() = default;
  // A drawn picture (none stays empty).
  VideoFrame(const ConstFrameBufferRef& picture);  // NOLINT(google-explicit-constructor)

  // bgra (fourth byte alpha or ignored), i420, i422, i444, nv12, yuy2 or uyvy.
  PixelFormat format = PixelFormat::bgra;
  Range range = Range::limited;
  int width = 0;
  int height = 0;
  const uint8_t* plane[3] = {nullptr, nullptr, nullptr};
  int stride[3] = {0, 0, 0};
  // True when the fourth byte of a bgra picture is known to be 255.
  bool opaque = false;
  // Keeps the bytes alive; also what tells one picture from another.
  std::shared_ptr<const void> storage;
  // Set for drawn pictures, which are shown many times: their other layouts
  // are made once and kept with the buffer.
  ConstFrameBufferRef picture;

  explicit operator bool() const { return plane[0] != nullptr && width > 0 && height > 0; }
  static VideoFrame fromPicture(const ConstFrameBufferRef& buffer) { return VideoFrame(buffer); }
};

// Planes of a frame back to back in one block, rows tightly packed (what
// GStreamer and most clients assume for a single-block buffer).
struct PackedLayout {
  int planes = 1;
  size_t offset[3] = {0, 0, 0};
  int stride[3] = {0, 0, 0};
  size_t size = 0;  // the whole frame
};
PackedLayout packedLayout(PixelFormat format, int width, int height);

// Reusable memory for camera frames: a block comes back to the store when the
// last frame holding it goes (on whatever thread), so steady capture
// allocates nothing.
class FrameStore {
 public:
  FrameStore();
  // A block of at least `size` bytes, 64-byte aligned; none when memory runs
  // out or too many blocks are still held.
  std::shared_ptr<uint8_t> acquire(size_t size);

 private:
  struct Shelf;
  std::shared_ptr<Shelf> shelf_;
};

// Writes a frame into a buffer of another layout and size, centre-cropped to
// the output's aspect ratio and scaled, in as few passes as the layouts
// allow. YUV outputs are BT.601 limited range; BGRA output has alpha 255.
class FrameWriter {
 public:
  // `target` is bgra, i420, nv12 or yuy2; `dst` holds packedLayout(target,
  // width, height).size bytes, or for bgra height rows of `dstStride` (0:
  // tightly packed). False when the frame or target cannot be written.
  bool write(const VideoFrame& frame, PixelFormat target, int width, int height, uint8_t* dst, int dstStride = 0);

  // What a plane's values go through on the way: kept, or full range mapped
  // to limited.
  enum class Mapping { keep, toLimitedLuma, toLimitedChroma };

 private:
  void scalePlane(const uint8_t* src, int srcStride, int srcWidth, int srcHeight, uint8_t* dst, int dstStride,
                  int width, int height, Mapping mapping);
  uint8_t* scratch(size_t index, size_t size);
  std::vector<uint8_t> scratch_[6];
};

}  // namespace tovrelle::frames
