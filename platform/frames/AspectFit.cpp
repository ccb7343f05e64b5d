#include "platform/frames/AspectFit.h"

#include <algorithm>
#include <cstdint>

namespace tovrelle::frames {

namespace {
// Which side of the box the picture fills, decided in integers so that an
// exact fit stays exact: > 0 the box is wider than the picture (full height),
// < 0 taller (full width), 0 same aspect.
int64_t boxWiderBy(int w, int h, int boxW, int boxH) {
  return static_cast<int64_t>(boxW) * h - static_cast<int64_t>(boxH) * w;
}
}  // namespace

FitRect aspectFit(int w, int h, int boxW, int boxH) {
  if (w <= 0 || h <= 0 || boxW <= 0 || boxH <= 0) return {};
  double fw = boxW, fh = boxH;
  if (boxWiderBy(w, h, boxW, boxH) > 0) {
    fw = static_cast<double>(boxH) * w / h;
  } else {
    fh = static_cast<double>(boxW) * h / w;
  }
  return {(boxW - fw) / 2, (boxH - fh) / 2, fw, fh};
}

PixelRect aspectFitPixels(int w, int h, int boxW, int boxH, int step) {
  if (w <= 0 || h <= 0 || boxW <= 0 || boxH <= 0 || step <= 0) return {};
  PixelRect r{0, 0, boxW, boxH};
  const int64_t wider = boxWiderBy(w, h, boxW, boxH);
  if (wider > 0) {
    r.width = static_cast<int>(static_cast<int64_t>(boxH) * w / h);
  } else if (wider < 0) {
    r.height = static_cast<int>(static_cast<int64_t>(boxW) * h / w);
  }
  auto down = [step](int v) { return v - v % step; };
  r.width = std::max(down(r.width), std::min(boxW, step));
  r.height = std::max(down(r.height), std::min(boxH, step));
  r.x = down((boxW - r.width) / 2);
  r.y = down((boxH - r.height) / 2);
  return r;
}

}  // namespace tovrelle::frames
