#pragma once
// MJPEG frames through libjpeg's raw-data interface: the YUV planes come out
// a block row at a time straight into the caller's memory, padded to whole
// blocks, with no colour conversion and no copy in between.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/frames/VideoFrame.h"

namespace tovrelle::capture {

class JpegPlanes {
 public:
  // Where one picture's planes go, known once the header is read.
  struct Layout {
    frames::PixelFormat format = frames::PixelFormat::i420;
    int width = 0;  // after DCT scaling
    int height = 0;
    bool gray = false;  // chroma planes are filled with 128
    size_t offset[3] = {0, 0, 0};
    int stride[3] = {0, 0, 0};
    size_t size = 0;
  };

  JpegPlanes();
  ~JpegPlanes();
  JpegPlanes(const JpegPlanes&) = delete;
  JpegPlanes& operator=(const JpegPlanes&) = delete;

  // Decodes `data`. `reduce` gets the declared size before anything is
  // allocated and answers the DCT scaling denominator (1, 2, 4 or 8), or 0
  // to refuse the picture; `memory` gets the layout and answers a block of
  // layout.size bytes (null: give up). Empty on success, else why not.
  std::string decode(const uint8_t* data, size_t size, const std::function<int(int width, int height)>& reduce,
                     const std::function<uint8_t*(const Layout&)>& memory);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tovrelle::capture
