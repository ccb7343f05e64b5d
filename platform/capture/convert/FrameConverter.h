#pragma once
// Takes a frame out of the camera's buffer in the camera's own layout: raw
// YUV planes are read where they are, MJPEG is decoded to its YUV planes (at a
// reduced DCT size when the picture is much larger than the output), RGB
// orders become BGRA. Cropping to 16:9, scaling and the conversion to what a
// client takes happen once, later, where the frame is written
// (frames::FrameWriter). Decoded and converted frames take memory from a
// store; after the first frames nothing is allocated.
// Thread-bound (the thread that converts, the capture loop's): one converter
// per stream. The frames it hands out may go to any thread.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/frames/VideoFrame.h"

namespace tovrelle::capture {

struct VideoFormat {
  frames::PixelFormat format = frames::PixelFormat::unknown;
  int width = 0;
  int height = 0;
  int fpsNum = 0;  // 0/1: variable
  int fpsDen = 1;
  friend bool operator==(const VideoFormat&, const VideoFormat&) = default;
};

std::string describe(const VideoFormat& format);

// One frame as the camera handed it: up to three planes. A single block with
// the planes one after the other (how most cameras deliver NV12 and I420) is
// given as one plane; the converter finds the others from the stride.
struct RawFrame {
  const uint8_t* data[3] = {nullptr, nullptr, nullptr};
  size_t size[3] = {0, 0, 0};
  int stride[3] = {0, 0, 0};  // 0: tightly packed
  int planes = 0;
};

class FrameConverter {
 public:
  // Largest input side accepted; anything beyond is refused rather than allocated.
  static constexpr int kMaxSide = 8192;

  // None when the format is unknown, too large, or the decoder cannot be set
  // up. The output size only decides how far MJPEG may be reduced in decoding.
  static std::unique_ptr<FrameConverter> create(const VideoFormat& input, int outWidth = frames::kFrameWidth,
                                                int outHeight = frames::kFrameHeight);
  virtual ~FrameConverter() = default;

  // The frame, or none when this one is unusable (too small for the format,
  // corrupt, of another size); the first such frame is logged, later ones
  // only counted. Call from one thread. A frame without `storage` points into
  // `frame`'s memory (layouts written from as they are) and is good only
  // while that memory is; others have memory of their own.
  virtual frames::VideoFrame convert(const RawFrame& frame) = 0;

  virtual const VideoFormat& input() const = 0;
  virtual uint64_t droppedFrames() const = 0;
};

}  // namespace tovrelle::capture
