#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/rotate.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "platform/frames/VideoFrame.h"

#include "platform/frames/AspectFit.h"

namespace tovrelle::frames {

VideoFrame::VideoFrame(const ConstFrameBufferRef& buffer) {
  if (!buffer || !buffer->data()) return;
  format = PixelFormat::bgra;
  width = buffer->width();
  height = buffer->height();
  plane[0] = buffer->data();
  stride[0] = buffer->bytesPerRow();
  storage = buffer;
  picture = buffer;
}

PackedLayout packedLayout(PixelFormat format, int width, int height) {
  PackedLayout l;
  const size_t w = static_cast<size_t>(std::max(width, 0)), h = static_cast<size_t>(std::max(height, 0));
  const size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
  switch (format) {
    case PixelFormat::bgra:
      l.stride[0] = static_cast<int>(w * 4);
      l.size = w * 4 * h;
      break;
    case PixelFormat::i420:
    case PixelFormat::i422:
    case PixelFormat::i444: {
      const size_t pw = info(format).chromaShiftX ? cw : w, ph = info(format).chromaShiftY ? ch : h;
      l.planes = 3;
      l.stride[0] = static_cast<int>(w);
      l.stride[1] = l.stride[2] = static_cast<int>(pw);
      l.offset[1] = w * h;
      l.offset[2] = l.offset[1] + pw * ph;
      l.size = l.offset[2] + pw * ph;
      break;
    }
    case PixelFormat::nv12:
      l.planes = 2;
      l.stride[0] = static_cast<int>(w);
      l.stride[1] = static_cast<int>(cw * 2);
      l.offset[1] = w * h;
      l.size = l.offset[1] + cw * 2 * ch;
      break;
    case PixelFormat::yuy2:
    case PixelFormat::uyvy:
      l.stride[0] = static_cast<int>(cw * 4);
      l.size = cw * 4 * h;
      break;
    default: break;
  }
  return l;
}

struct FrameStore::Shelf {
  std::mutex mutex;
  size_t size = 0;             // of the blocks on the shelf
  std::vector<uint8_t*> free;  // blocks back from their frames
  int out = 0;                 // blocks held by frames
  ~Shelf() {
    for (auto* p : free) std::free(p);
  }
};

FrameStore::FrameStore() : shelf_(std::make_shared<Shelf>()) {}

std::shared_ptr<uint8_t> FrameStore::acquire(size_t size) {
  size = std::max<size_t>(size, 64);
  uint8_t* block = nullptr;
  {
    std::lock_guard lock(shelf_->mutex);
    if (size != shelf_->size) {  // the camera changed format: the old blocks go
      for (auto* p : shelf_->free) std::free(p);
      shelf_->free.clear();
      shelf_->size = size;
    }
    if (!shelf_->free.empty()) {
      block = shelf_->free.back();
      shelf_->free.pop_back();
    } else if (shelf_->out >= 16) {
      return nullptr;  // frames are not being released
    }
    ++shelf_->out;
  }
  if (!block) {
    void* p = nullptr;
    if (posix_memalign(&p, 64, size) != 0) {
      std::lock_guard lock(shelf_->mutex);
      --shelf_->out;
      return nullptr;
    }
    block = static_cast<uint8_t*>(p);
  }
  std::weak_ptr<Shelf> weak = shelf_;
  return std::shared_ptr<uint8_t>(block, [weak, size](uint8_t* p) {
    if (auto shelf = weak.lock()) {
      std::lock_guard lock(shelf->mutex);
      --shelf->out;
      if (shelf->size == size && shelf->free.size() < 8) {
        shelf->free.push_back(p);
        return;
      }
    }
    std::free(p);
  });
}

namespace {

constexpr int kMaxWidth = 8192;

// Constant rows read with stride 0, so the library's SIMD loops do the
// range mapping and the alpha fill.
struct ConstantRows {
  std::array<uint8_t, kMaxWidth * 2> lumaBase, chromaBase, opaque;
  ConstantRows() {
    lumaBase.fill(114);
    chromaBase.fill(128);
    opaque.fill(255);
  }
};
const ConstantRows& constants() {
  static const ConstantRows rows;
  return rows;
}

// Full range to limited range: luma 0..255 to 16..235 as (114·36 + y·220) /
// 256, chroma to 16..240 as (128·31 + c·225) / 256.
void limitRange(const uint8_t* src, int ss, uint8_t* dst, int ds, int width, int height, FrameWriter::Mapping mapping) {
  const auto& c = constants();
  const bool chroma = mapping == FrameWriter::Mapping::toLimitedChroma;
  libyuv::InterpolatePlane(chroma ? c.chromaBase.data() : c.lumaBase.data(), 0, src, ss, dst, ds, width, height,
                           chroma ? 225 : 220);
}

void makeOpaque(uint8_t* dst, int stride, int width, int height) {
  libyuv::ARGBCopyYToAlpha(constants().opaque.data(), 0, dst, stride, width, height);
}

struct Planes {
  const uint8_t* p[3] = {nullptr, nullptr, nullptr};
  int stride[3] = {0, 0, 0};
  int cw = 0, ch = 0;  // chroma plane size
};

// Each pair of output rows from three source rows, by area: the first takes
// 2/3 of row 0 and 1/3 of row 1, the second 1/3 of row 1 and 2/3 of row 2.
void rowsTwoThirds(const uint8_t* src, int ss, int width, int outRows, uint8_t* dst, int ds) {
  libyuv::InterpolatePlane(src, 3 * ss, src + ss, 3 * ss, dst, 2 * ds, width, outRows / 2, 85);
  libyuv::InterpolatePlane(src + ss, 3 * ss, src + 2 * ss, 3 * ss, dst + ds, 2 * ds, width, outRows / 2, 171);
}

}  // namespace

// The library's general scaler is slow at 2/3, the step from 1080p to 720p
// that most webcams need: there the rows are reduced by blending, and the
// columns the same way between two transposes, about twice as fast.
void FrameWriter::scalePlane(const uint8_t* src, int ss, int sw, int sh, uint8_t* dst, int ds, int dw, int dh,
                             Mapping mapping) {
  // Same size: the range mapping is the copy.
  if (mapping != Mapping::keep && sw == dw && sh == dh) {
    limitRange(src, ss, dst, ds, dw, dh, mapping);
    return;
  }
  // 4:2:2 chroma on its way to 4:2:0: pairs of rows are averaged first.
  if (sh == 3 * dh && sw * 2 == dw * 3 && sh % 2 == 0) {
    uint8_t* half = scratch(3, static_cast<size_t>(sw) * (sh / 2));
    libyuv::InterpolatePlane(src, 2 * ss, src + ss, 2 * ss, half, sw, sw, sh / 2, 128);
    src = half;
    ss = sw;
    sh /= 2;
  }
  if (sw * 2 != dw * 3 || sh * 2 != dh * 3 || dw % 2 || dh % 2) {
    libyuv::ScalePlane(src, ss, sw, sh, dst, ds, dw, dh, libyuv::kFilterBilinear);
    if (mapping != Mapping::keep) limitRange(dst, ds, dst, ds, dw, dh, mapping);
    return;
  }
  uint8_t* rows = scratch(4, static_cast<size_t>(sw) * dh);
  uint8_t* turned = scratch(5, static_cast<size_t>(sw) * dh);
  rowsTwoThirds(src, ss, sw, dh, rows, sw);
  libyuv::TransposePlane(rows, sw, turned, dh, sw, dh);  // dh wide, sw tall
  rowsTwoThirds(turned, dh, dh, dw, rows, dh);           // dh wide, dw tall
  libyuv::TransposePlane(rows, dh, dst, ds, dh, dw);
  if (mapping != Mapping::keep) limitRange(dst, ds, dst, ds, dw, dh, mapping);
}

uint8_t* FrameWriter::scratch(size_t index, size_t size) {
  if (scratch_[index].size() < size) scratch_[index].resize(size);
  return scratch_[index].data();
}

bool FrameWriter::write(const VideoFrame& f, PixelFormat target, int W, int H, uint8_t* dst, int dstStride) {
  using namespace libyuv;
  if (!f || !dst || W < 2 || H < 2 || (W | H) & 1 || W > kMaxWidth || f.width > kMaxWidth * 2) return false;
  if (target != PixelFormat::bgra && target != PixelFormat::i420 && target != PixelFormat::nv12 &&
      target != PixelFormat::yuy2)
    return false;
  const PackedLayout out = packedLayout(target, W, H);
  const int bgraStride = dstStride > 0 ? dstStride : W * 4;

  // A drawn picture is shown many times: convert it once and keep the result.
  if (f.picture && f.width == W && f.height == H) {
    auto bytes = f.picture->derived(target);
    if (!bytes) {
      auto made = std::make_shared<std::vector<uint8_t>>(out.size);
      VideoFrame plain = f;
      plain.picture.reset();
      if (!write(plain, target, W, H, made->data(), 0)) return false;
      bytes = made;
      f.picture->keepDerived(target, bytes);
    }
    if (target == PixelFormat::bgra)
      CopyPlane(bytes->data(), W * 4, dst, bgraStride, W * 4, H);
    else
      std::memcpy(dst, bytes->data(), out.size);
    return true;
  }

  // The centred part of the picture with the output's aspect, on even
  // coordinates so chroma planes crop cleanly.
  const PixelRect c = aspectFitPixels(W, H, f.width, f.height, 2);
  const bool sameSize = c.width == W && c.height == H;
  uint8_t* const y = dst;
  uint8_t* const u = dst + out.offset[1];
  uint8_t* const v = dst + out.offset[2];
  const int ys = out.stride[0], cs = out.stride[1];

  if (f.format == PixelFormat::bgra) {
    const uint8_t* src = f.plane[0] + static_cast<size_t>(c.y) * f.stride[0] + static_cast<size_t>(c.x) * 4;
    int stride = f.stride[0];
    if (!sameSize) {
      uint8_t* scaled = target == PixelFormat::bgra ? dst : scratch(0, static_cast<size_t>(W) * 4 * H);
      const int scaledStride = target == PixelFormat::bgra ? bgraStride : W * 4;
      ARGBScale(src, stride, c.width, c.height, scaled, scaledStride, W, H, kFilterBilinear);
      if (target == PixelFormat::bgra) {
        if (!f.opaque) makeOpaque(dst, bgraStride, W, H);
        return true;
      }
      src = scaled;
      stride = scaledStride;
    }
    switch (target) {
      case PixelFormat::bgra:
        ARGBCopy(src, stride, dst, bgraStride, W, H);
        if (!f.opaque) makeOpaque(dst, bgraStride, W, H);
        return true;
      case PixelFormat::i420: return ARGBToI420(src, stride, y, ys, u, cs, v, cs, W, H) == 0;
      case PixelFormat::nv12: return ARGBToNV12(src, stride, y, ys, u, cs, W, H) == 0;
      default: return ARGBToYUY2(src, stride, dst, ys, W, H) == 0;
    }
  }

  // Packed and semi-planar camera frames of the output's size: one library call.
  if (sameSize && f.width == W && f.height == H && f.range == Range::limited) {
    const uint8_t* s0 = f.plane[0];
    const int st0 = f.stride[0];
    if (f.format == PixelFormat::yuy2) {
      switch (target) {
        case PixelFormat::bgra: return YUY2ToARGB(s0, st0, dst, bgraStride, W, H) == 0;
        case PixelFormat::i420: return YUY2ToI420(s0, st0, y, ys, u, cs, v, cs, W, H) == 0;
        case PixelFormat::nv12: return YUY2ToNV12(s0, st0, y, ys, u, cs, W, H) == 0;
        default: CopyPlane(s0, st0, dst, ys, W * 2, H); return true;
      }
    }
    if (f.format == PixelFormat::uyvy && target != PixelFormat::nv12 && target != PixelFormat::yuy2) {
      if (target == PixelFormat::bgra) return UYVYToARGB(s0, st0, dst, bgraStride, W, H) == 0;
      return UYVYToI420(s0, st0, y, ys, u, cs, v, cs, W, H) == 0;
    }
    if (f.format == PixelFormat::nv12 && target != PixelFormat::yuy2) {
      switch (target) {
        case PixelFormat::bgra: return NV12ToARGB(s0, st0, f.plane[1], f.stride[1], dst, bgraStride, W, H) == 0;
        case PixelFormat::i420: return NV12ToI420(s0, st0, f.plane[1], f.stride[1], y, ys, u, cs, v, cs, W, H) == 0;
        default: NV12Copy(s0, st0, f.plane[1], f.stride[1], y, ys, u, cs, W, H); return true;
      }
    }
  }

  // Everything else goes through three planes of the cropped picture.
  Planes in;
  const int cw = c.width / 2, ch = c.height / 2;
  switch (f.format) {
    case PixelFormat::i420:
    case PixelFormat::i422:
    case PixelFormat::i444: {
      const int sx = info(f.format).chromaShiftX, sy = info(f.format).chromaShiftY;
      in.p[0] = f.plane[0] + static_cast<size_t>(c.y) * f.stride[0] + c.x;
      in.stride[0] = f.stride[0];
      for (int i = 1; i < 3; ++i) {
        in.p[i] = f.plane[i] + static_cast<size_t>(c.y >> sy) * f.stride[i] + (c.x >> sx);
        in.stride[i] = f.stride[i];
      }
      in.cw = (c.width + sx) >> sx;
      in.ch = (c.height + sy) >> sy;
      break;
    }
    case PixelFormat::nv12: {
      in.p[0] = f.plane[0] + static_cast<size_t>(c.y) * f.stride[0] + c.x;
      in.stride[0] = f.stride[0];
      uint8_t* su = scratch(1, static_cast<size_t>(cw) * ch * 2);
      SplitUVPlane(f.plane[1] + static_cast<size_t>(c.y / 2) * f.stride[1] + c.x, f.stride[1], su, cw,
                   su + static_cast<size_t>(cw) * ch, cw, cw, ch);
      in.p[1] = su;
      in.p[2] = su + static_cast<size_t>(cw) * ch;
      in.stride[1] = in.stride[2] = cw;
      in.cw = cw;
      in.ch = ch;
      break;
    }
    case PixelFormat::yuy2:
    case PixelFormat::uyvy: {
      uint8_t* s = scratch(1, static_cast<size_t>(c.width) * c.height * 2);
      uint8_t* su = s + static_cast<size_t>(c.width) * c.height;
      uint8_t* sv = su + static_cast<size_t>(cw) * c.height;
      const uint8_t* src = f.plane[0] + static_cast<size_t>(c.y) * f.stride[0] + static_cast<size_t>(c.x) * 2;
      const int rc = f.format == PixelFormat::yuy2
                         ? YUY2ToI422(src, f.stride[0], s, c.width, su, cw, sv, cw, c.width, c.height)
                         : UYVYToI422(src, f.stride[0], s, c.width, su, cw, sv, cw, c.width, c.height);
      if (rc != 0) return false;
      in.p[0] = s;
      in.p[1] = su;
      in.p[2] = sv;
      in.stride[0] = c.width;
      in.stride[1] = in.stride[2] = cw;
      in.cw = cw;
      in.ch = c.height;
      break;
    }
    default: return false;
  }
  const bool full = f.range == Range::full;
  const int ow = W / 2, oh = H / 2;

  // Straight from planes of the right size into BGRA.
  if (target == PixelFormat::bgra && sameSize) {
    const uint8_t* const* p = in.p;
    const int* s = in.stride;
    if (in.cw == ow && in.ch == oh)
      return (full ? J420ToARGB : I420ToARGB)(p[0], s[0], p[1], s[1], p[2], s[2], dst, bgraStride, W, H) == 0;
    if (in.cw == ow && in.ch == H)
      return (full ? J422ToARGB : I422ToARGB)(p[0], s[0], p[1], s[1], p[2], s[2], dst, bgraStride, W, H) == 0;
    if (in.cw == W && in.ch == H)
      return (full ? J444ToARGB : I444ToARGB)(p[0], s[0], p[1], s[1], p[2], s[2], dst, bgraStride, W, H) == 0;
  }

  // Scale each plane once into I420 of the output's size: the client's
  // buffer when it takes I420, else a scratch frame packed from below.
  const PackedLayout i420 = packedLayout(PixelFormat::i420, W, H);
  uint8_t* py = target == PixelFormat::i420 ? dst : scratch(2, i420.size);
  uint8_t* pu = py + i420.offset[1];
  uint8_t* pv = py + i420.offset[2];
  // YUV clients take limited range; a JPEG's full range is mapped on the way.
  const bool limit = full && target != PixelFormat::bgra;
  const Mapping luma = limit ? Mapping::toLimitedLuma : Mapping::keep;
  const Mapping chroma = limit ? Mapping::toLimitedChroma : Mapping::keep;
  scalePlane(in.p[0], in.stride[0], c.width, c.height, py, W, W, H, luma);
  scalePlane(in.p[1], in.stride[1], in.cw, in.ch, pu, ow, ow, oh, chroma);
  scalePlane(in.p[2], in.stride[2], in.cw, in.ch, pv, ow, ow, oh, chroma);
  if (target == PixelFormat::bgra) {
    auto convert = full ? J420ToARGB : I420ToARGB;
    return convert(py, W, pu, ow, pv, ow, dst, bgraStride, W, H) == 0;
  }
  switch (target) {
    case PixelFormat::nv12: return I420ToNV12(py, W, pu, ow, pv, ow, y, ys, u, cs, W, H) == 0;
    case PixelFormat::yuy2: return I420ToYUY2(py, W, pu, ow, pv, ow, dst, ys, W, H) == 0;
    default: return true;
  }
}

}  // namespace tovrelle::frames
