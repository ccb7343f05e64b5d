#include "platform/imaging/Fit.h"

#include <cairo.h>

#include <cstring>

#include "platform/frames/AspectFit.h"

namespace tovrelle::imaging {

bool renderFitted(const Canvas& picture, frames::FrameBuffer& frame) {
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
  const frames::FitRect r = frames::aspectFit(picture.width, picture.height, frame.width(), frame.height());
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

frames::FrameBufferRef fitIntoFrame(const Canvas& picture, int width, int height) {
  auto frame = frames::makeFrameBuffer(width, height);
  if (!frame || !renderFitted(picture, *frame)) return nullptr;
  return frame;
}

}  // namespace tovrelle::imaging
