#pragma once
// The formats the virtual camera offers besides its own BGRA, and the
// conversion of a BGRA frame into each. Many camera clients (browsers'
// WebRTC engines among them) cannot read BGRA, so the device converts, but
// only while such a client is connected.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/frames/PixelBuffer.h"

namespace tovrelle::camera {

enum class WireFormat { BGRA, I420, NV12, YUY2 };

inline constexpr WireFormat kOfferedFormats[] = {WireFormat::BGRA, WireFormat::I420, WireFormat::NV12,
                                                 WireFormat::YUY2};

const char* wireFormatName(WireFormat format);
std::optional<WireFormat> wireFormatFromName(std::string_view name);

// Planes of one frame, back to back in one block, rows tightly packed (the
// layout GStreamer and most clients assume for a single-block buffer).
struct WireLayout {
  int planes = 1;
  size_t offset[3] = {0, 0, 0};
  int stride[3] = {0, 0, 0};
  size_t size = 0;  // the whole frame
};
WireLayout wireLayout(WireFormat format, int width, int height);

// BT.601 limited range (what clients assume for camera YUV without
// colorimetry). Chroma of I420/NV12 is the mean of each 2x2 block, of YUY2
// the mean of each horizontal pair. Odd sizes repeat the last column/row.
void convertBGRAToI420(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride,
                       uint8_t* u, int uStride, uint8_t* v, int vStride);
void convertBGRAToNV12(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride,
                       uint8_t* uv, int uvStride);
void convertBGRAToYUY2(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst, int dstStride);

// Writes `frame` into `dst` (at least wireLayout(format, ...).size bytes) in
// `format`; BGRA rows are copied unchanged.
void writeFrame(const frames::PixelBuffer& frame, WireFormat format, uint8_t* dst);

// The BT.601 limited-range values of one colour (for tests and tools).
struct Yuv {
  uint8_t y, u, v;
};
Yuv yuvFromRGB(int r, int g, int b);

}  // namespace tovrelle::camera
