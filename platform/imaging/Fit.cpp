#include "platform/imaging/Fit.h"

#include <cairo.h>

#include <cstring>

namespace tovrelle::imaging {

FitRect aspectFit(int iw, int ih, int W, int H) {
  if (iw <= 0 || ih <= 0 || W <= 0 || H <= 0) return {};
  const double kw = static_cast<double>(W) / iw, kh = static_cast<double>(H) / ih;
  const double k = kw <= kh ? kw : kh;
  const double w = k * iw, h = k * ih;
  return {(W - w) / 2, (H - h) / 2, w, h};
}

bool renderFitted(const Canvas& picture, frames::PixelBuffer& frame) {
  std::memset(frame.data(), 0, frame.byteCount());
  if (picture.width <= 0 || picture.height <= 0 || picture.pixels.empty()) return false;
  if (picture.width > kMaxCanvasSide || picture.height > kMaxCanvasSide) return false;
  // Both sides as RGB24: blue, green, red and an unused byte, which is the
  // frame layout and, the picture being opaque by now, the canvas layout.
  cairo_surface_t* target = cairo_image_surface_create_for_data(frame.data(), CAIRO_FORMAT_RGB24, frame.width(),
                                                                frame.height(), frame.bytesPerRow());
  cairo_surface_t* source =
      cairo_image_surface_create_for_data(const_cast<uint8_t*>(picture.pixels.data()), CAIRO_FORMAT_RGB24,
                                          picture.width, picture.height, static_cast<int>(picture.stride));
  cairo_t* cr = cairo_create(target);
  const FitRect r = aspectFit(picture.width, picture.height, frame.width(), frame.height());
  cairo_rectangle(cr, r.x, r.y, r.width, r.height);
  cairo_translate(cr, r.x, r.y);
  cairo_scale(cr, r.width / picture.width, r.height / picture.height);
  cairo_set_source_surface(cr, source, 0, 0);
  cairo_pattern_t* pattern = cairo_get_source(cr);
  cairo_pattern_set_filter(pattern, CAIRO_FILTER_GOOD);
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);  // no dark fringe from outside the picture
  cairo_fill(cr);
  const bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  cairo_surface_flush(target);
  cairo_surface_destroy(source);
  cairo_surface_destroy(target);
  return ok;
}

}  // namespace tovrelle::imaging
