#include "platform/camera/FrameConversion.h"

#include <algorithm>
#include <cstring>

namespace tovrelle::camera {
namespace {

// Integer BT.601 limited range; the loops below are written so the compiler
// can vectorise them (no branches, fixed strides).
inline uint8_t lumaOf(int r, int g, int b) { return static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16); }

// From sums of n = 2^shift pixels.
inline uint8_t cbOfSum(int r, int g, int b, int shift) {
  return static_cast<uint8_t>(((-38 * r - 74 * g + 112 * b + (128 << shift)) >> (8 + shift)) + 128);
}
inline uint8_t crOfSum(int r, int g, int b, int shift) {
  return static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + (128 << shift)) >> (8 + shift)) + 128);
}

void lumaRow(const uint8_t* __restrict s, uint8_t* __restrict y, int width) {
  for (int x = 0; x < width; ++x) y[x] = lumaOf(s[4 * x + 2], s[4 * x + 1], s[4 * x]);
}

// Chroma of one pair of rows into separate (I420) or interleaved (NV12) planes.
template <bool Interleaved>
void chromaRows(const uint8_t* __restrict s0, const uint8_t* __restrict s1, uint8_t* __restrict u,
                uint8_t* __restrict v, int width) {
  const int pairs = width / 2;
  for (int i = 0; i < pairs; ++i) {
    const int b = s0[8 * i] + s0[8 * i + 4] + s1[8 * i] + s1[8 * i + 4];
    const int g = s0[8 * i + 1] + s0[8 * i + 5] + s1[8 * i + 1] + s1[8 * i + 5];
    const int r = s0[8 * i + 2] + s0[8 * i + 6] + s1[8 * i + 2] + s1[8 * i + 6];
    if constexpr (Interleaved) {
      u[2 * i] = cbOfSum(r, g, b, 2);
      u[2 * i + 1] = crOfSum(r, g, b, 2);
    } else {
      u[i] = cbOfSum(r, g, b, 2);
      v[i] = crOfSum(r, g, b, 2);
    }
  }
  if (width & 1) {
    const int x = width - 1;
    const int b = 2 * (s0[4 * x] + s1[4 * x]);
    const int g = 2 * (s0[4 * x + 1] + s1[4 * x + 1]);
    const int r = 2 * (s0[4 * x + 2] + s1[4 * x + 2]);
    if constexpr (Interleaved) {
      u[2 * pairs] = cbOfSum(r, g, b, 2);
      u[2 * pairs + 1] = crOfSum(r, g, b, 2);
    } else {
      u[pairs] = cbOfSum(r, g, b, 2);
      v[pairs] = crOfSum(r, g, b, 2);
    }
  }
}

template <bool Interleaved>
void convert420(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride, uint8_t* u,
                int uStride, uint8_t* v, int vStride) {
  for (int row = 0; row < height; ++row)
    lumaRow(src + static_cast<size_t>(row) * srcStride, y + static_cast<size_t>(row) * yStride, width);
  for (int row = 0; row < height; row += 2) {
    const uint8_t* s0 = src + static_cast<size_t>(row) * srcStride;
    const uint8_t* s1 = row + 1 < height ? s0 + srcStride : s0;
    const size_t c = static_cast<size_t>(row / 2);
    chromaRows<Interleaved>(s0, s1, u + c * uStride, Interleaved ? nullptr : v + c * vStride, width);
  }
}

}  // namespace

const char* wireFormatName(WireFormat format) {
  switch (format) {
    case WireFormat::BGRA: return "BGRA";
    case WireFormat::I420: return "I420";
    case WireFormat::NV12: return "NV12";
    case WireFormat::YUY2: return "YUY2";
  }
  return "BGRA";
}

std::optional<WireFormat> wireFormatFromName(std::string_view name) {
  for (WireFormat f : kOfferedFormats)
    if (name == wireFormatName(f)) return f;
  return std::nullopt;
}

WireLayout wireLayout(WireFormat format, int width, int height) {
  WireLayout l;
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  switch (format) {
    case WireFormat::BGRA:
      l.stride[0] = width * 4;
      l.size = static_cast<size_t>(l.stride[0]) * height;
      break;
    case WireFormat::YUY2:
      l.stride[0] = cw * 4;
      l.size = static_cast<size_t>(l.stride[0]) * height;
      break;
    case WireFormat::I420:
      l.planes = 3;
      l.stride[0] = width;
      l.stride[1] = l.stride[2] = cw;
      l.offset[1] = static_cast<size_t>(width) * height;
      l.offset[2] = l.offset[1] + static_cast<size_t>(cw) * ch;
      l.size = l.offset[2] + static_cast<size_t>(cw) * ch;
      break;
    case WireFormat::NV12:
      l.planes = 2;
      l.stride[0] = width;
      l.stride[1] = cw * 2;
      l.offset[1] = static_cast<size_t>(width) * height;
      l.size = l.offset[1] + static_cast<size_t>(cw) * 2 * ch;
      break;
  }
  return l;
}

void convertBGRAToI420(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride,
                       uint8_t* u, int uStride, uint8_t* v, int vStride) {
  convert420<false>(src, srcStride, width, height, y, yStride, u, uStride, v, vStride);
}

void convertBGRAToNV12(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride,
                       uint8_t* uv, int uvStride) {
  convert420<true>(src, srcStride, width, height, y, yStride, uv, uvStride, nullptr, 0);
}

void convertBGRAToYUY2(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst, int dstStride) {
  const int pairs = width / 2;
  for (int row = 0; row < height; ++row) {
    const uint8_t* __restrict s = src + static_cast<size_t>(row) * srcStride;
    uint8_t* __restrict d = dst + static_cast<size_t>(row) * dstStride;
    for (int i = 0; i < pairs; ++i) {
      const int b0 = s[8 * i], g0 = s[8 * i + 1], r0 = s[8 * i + 2];
      const int b1 = s[8 * i + 4], g1 = s[8 * i + 5], r1 = s[8 * i + 6];
      d[4 * i] = lumaOf(r0, g0, b0);
      d[4 * i + 1] = cbOfSum(r0 + r1, g0 + g1, b0 + b1, 1);
      d[4 * i + 2] = lumaOf(r1, g1, b1);
      d[4 * i + 3] = crOfSum(r0 + r1, g0 + g1, b0 + b1, 1);
    }
    if (width & 1) {
      const int x = width - 1;
      const int b = s[4 * x], g = s[4 * x + 1], r = s[4 * x + 2];
      d[4 * pairs] = lumaOf(r, g, b);
      d[4 * pairs + 1] = cbOfSum(2 * r, 2 * g, 2 * b, 1);
      d[4 * pairs + 2] = lumaOf(r, g, b);
      d[4 * pairs + 3] = crOfSum(2 * r, 2 * g, 2 * b, 1);
    }
  }
}

void writeFrame(const frames::PixelBuffer& frame, WireFormat format, uint8_t* dst) {
  const int w = frame.width(), h = frame.height();
  const WireLayout l = wireLayout(format, w, h);
  switch (format) {
    case WireFormat::BGRA:
      if (frame.bytesPerRow() == l.stride[0]) {
        std::memcpy(dst, frame.data(), l.size);
      } else {
        for (int row = 0; row < h; ++row)
          std::memcpy(dst + static_cast<size_t>(row) * l.stride[0], frame.row(row), static_cast<size_t>(l.stride[0]));
      }
      break;
    case WireFormat::I420:
      convertBGRAToI420(frame.data(), frame.bytesPerRow(), w, h, dst, l.stride[0], dst + l.offset[1], l.stride[1],
                        dst + l.offset[2], l.stride[2]);
      break;
    case WireFormat::NV12:
      convertBGRAToNV12(frame.data(), frame.bytesPerRow(), w, h, dst, l.stride[0], dst + l.offset[1], l.stride[1]);
      break;
    case WireFormat::YUY2:
      convertBGRAToYUY2(frame.data(), frame.bytesPerRow(), w, h, dst, l.stride[0]);
      break;
  }
}

Yuv yuvFromRGB(int r, int g, int b) { return {lumaOf(r, g, b), cbOfSum(r, g, b, 0), crOfSum(r, g, b, 0)}; }

}  // namespace tovrelle::camera
