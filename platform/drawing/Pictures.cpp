#include "platform/drawing/Pictures.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <memory>
#include <optional>

#include "platform/drawing/CameraOffLayout.h"
#include "platform/drawing/TangentArc.h"

namespace tovrelle::drawing {
namespace {

struct Rgb {
  double r, g, b;
};

constexpr Rgb kCameraOffBackground{62.0 / 255, 62.0 / 255, 62.0 / 255};
constexpr Rgb kCameraOffIcon{136.0 / 255, 136.0 / 255, 136.0 / 255};
constexpr Rgb kNotRunningBackground{0.1, 0.1, 0.12};

// Cantarell ships with the setup script; fontconfig picks the nearest sans
// face if it is missing.
constexpr const char* kFontFamily = "Cantarell,sans-serif";
constexpr const char* kTitle = "Tovrelle";
constexpr const char* kSubtitle = "Launch the app to start streaming.";
constexpr double kTitleSize = 56;
constexpr double kSubtitleSize = 32;
constexpr double kLineGap = 24;

struct CairoDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
  void operator()(PangoLayout* l) const { g_object_unref(l); }
  void operator()(PangoFontDescription* d) const { pango_font_description_free(d); }
};
using Context = std::unique_ptr<cairo_t, CairoDeleter>;
using Surface = std::unique_ptr<cairo_surface_t, CairoDeleter>;

// A frame buffer and a Cairo context drawing straight into it. The surface is
// RGB24: 32 bits a pixel, little-endian blue, green, red and one unused byte,
// which is our BGRA layout with the fourth byte ignored. The context starts
// out with its origin at the bottom-left corner and y growing upwards, the
// convention both drawings are written in.
struct Canvas {
  frames::FrameBufferRef buffer;
  Surface surface;
  Context cr;
};

std::optional<Canvas> makeCanvas(int width, int height) {
  auto buffer = frames::makeFrameBuffer(width, height);
  if (!buffer) return std::nullopt;
  if (cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, width) > buffer->bytesPerRow()) return std::nullopt;
  Surface surface(
      cairo_image_surface_create_for_data(buffer->data(), CAIRO_FORMAT_RGB24, width, height, buffer->bytesPerRow()));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  Context cr(cairo_create(surface.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  cairo_translate(cr.get(), 0, height);
  cairo_scale(cr.get(), 1, -1);
  return Canvas{std::move(buffer), std::move(surface), std::move(cr)};
}

frames::FrameBufferRef finish(Canvas& canvas) {
  canvas.cr.reset();
  cairo_surface_flush(canvas.surface.get());
  const bool ok = cairo_surface_status(canvas.surface.get()) == CAIRO_STATUS_SUCCESS;
  canvas.surface.reset();
  return ok ? std::move(canvas.buffer) : nullptr;
}

void setColour(cairo_t* cr, Rgb c) { cairo_set_source_rgba(cr, c.r, c.g, c.b, 1.0); }

void addArcToPoint(cairo_t* cr, Point p1, Point p2, double radius) {
  double cx, cy;
  cairo_get_current_point(cr, &cx, &cy);
  const TangentArc arc = arcToPoint({cx, cy}, p1, p2, radius);
  cairo_line_to(cr, arc.lineTo.x, arc.lineTo.y);
  if (!arc.isArc) return;
  if (arc.increasingAngles) {
    cairo_arc(cr, arc.center.x, arc.center.y, arc.radius, arc.startAngle, arc.endAngle);
  } else {
    cairo_arc_negative(cr, arc.center.x, arc.center.y, arc.radius, arc.startAngle, arc.endAngle);
  }
}

void drawCameraOff(cairo_t* cr, int width, int height, Rgb background, Rgb icon) {
  cairo_rectangle(cr, 0, 0, width, height);
  setColour(cr, background);
  cairo_fill(cr);

  cairo_save(cr);
  // Top-left origin, y downwards, for the icon's geometry.
  cairo_translate(cr, 0, height);
  cairo_scale(cr, 1, -1);

  const CameraOffLayout layout = cameraOffLayout(width, height);
  const double s = layout.size;
  auto at = [&](double a, double b) { return Point{layout.x0 + a * s, layout.y0 + b * s}; };

  struct ArcStep {
    double x1, y1, x2, y2, radius;
  };
  // A rounded body with a trapezoidal bump on top, as one closed outline.
  static constexpr ArcStep kBody[] = {
      {0.9755, 0.8112, 0.0245, 0.8112, 0.0978}, {0.0245, 0.8112, 0.0245, 0.1663, 0.0978},
      {0.0245, 0.1663, 0.2348, 0.1663, 0.0978}, {0.2348, 0.1663, 0.3131, 0.0254, 0.0235},
      {0.3131, 0.0254, 0.6869, 0.0254, 0.0724}, {0.6869, 0.0254, 0.7651, 0.1663, 0.0724},
      {0.7651, 0.1663, 0.9755, 0.1663, 0.0235}, {0.9755, 0.1663, 0.9755, 0.8112, 0.0978},
  };
  const Point start = at(0.9755, 0.48875);
  cairo_move_to(cr, start.x, start.y);
  for (const ArcStep& step : kBody) addArcToPoint(cr, at(step.x1, step.y1), at(step.x2, step.y2), step.radius * s);
  cairo_close_path(cr);
  setColour(cr, icon);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_width(cr, kOutlineWidth * s);
  cairo_stroke(cr);

  // Lens.
  const Point lens = at(0.5, 0.4736);
  cairo_new_sub_path(cr);
  cairo_arc(cr, lens.x, lens.y, 0.1546 * s, 0, 2 * G_PI);
  cairo_stroke(cr);

  // Small window.
  const Point window = at(0.7701, 0.3219);
  cairo_set_line_width(cr, kWindowLineWidth * s);
  cairo_rectangle(cr, window.x, window.y, 0.09 * s, 0.092 * s);
  cairo_stroke(cr);

  // The slash: a background-coloured band first cuts the outline, then the
  // slash itself is stroked inside the gap.
  const Point from = at(kSlashFrom[0], kSlashFrom[1]);
  const Point to = at(kSlashTo[0], kSlashTo[1]);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
  for (int pass = 0; pass < 2; ++pass) {
    cairo_move_to(cr, from.x, from.y);
    cairo_line_to(cr, to.x, to.y);
    setColour(cr, pass == 0 ? background : icon);
    cairo_set_line_width(cr, (pass == 0 ? kSlashGapWidth : kOutlineWidth) * s);
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

struct TextLine {
  std::unique_ptr<PangoLayout, CairoDeleter> layout;
  double width = 0;
  double height = 0;
};

TextLine makeLine(PangoContext* context, const char* text, double size, PangoWeight weight) {
  TextLine line;
  line.layout.reset(pango_layout_new(context));
  std::unique_ptr<PangoFontDescription, CairoDeleter> font(pango_font_description_from_string(kFontFamily));
  pango_font_description_set_weight(font.get(), weight);
  // One point is one pixel in a camera frame.
  pango_font_description_set_absolute_size(font.get(), size * PANGO_SCALE);
  pango_layout_set_font_description(line.layout.get(), font.get());
  pango_layout_set_text(line.layout.get(), text, -1);
  PangoRectangle logical;
  pango_layout_get_extents(line.layout.get(), nullptr, &logical);
  line.width = static_cast<double>(logical.width) / PANGO_SCALE;
  line.height = static_cast<double>(logical.height) / PANGO_SCALE;
  return line;
}

bool drawNotRunning(cairo_t* cr, int width, int height) {
  cairo_rectangle(cr, 0, 0, width, height);
  setColour(cr, kNotRunningBackground);
  cairo_fill(cr);

  cairo_save(cr);
  std::unique_ptr<PangoContext, void (*)(PangoContext*)> context(pango_cairo_create_context(cr),
                                                                 [](PangoContext* c) { g_object_unref(c); });
  if (!context) {
    cairo_restore(cr);
    return false;
  }
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  pango_cairo_context_set_font_options(context.get(), options);
  cairo_font_options_destroy(options);

  TextLine title = makeLine(context.get(), kTitle, kTitleSize, PANGO_WEIGHT_SEMIBOLD);
  TextLine subtitle = makeLine(context.get(), kSubtitle, kSubtitleSize, PANGO_WEIGHT_NORMAL);

  // Placement in the bottom-left, y-up space of the frame: the subtitle below,
  // the title 24 points above it, the pair centred as a block.
  const double midX = width / 2.0, midY = height / 2.0;
  const double y = midY - (title.height + kLineGap + subtitle.height) / 2;
  struct Placed {
    TextLine* line;
    double x, y;  // bottom-left corner of the line's box, y up
    double alpha;
  };
  const Placed placed[] = {
      {&subtitle, midX - subtitle.width / 2, y, 0.75},
      {&title, midX - title.width / 2, y + subtitle.height + kLineGap, 1.0},
  };
  for (const Placed& p : placed) {
    // Text is laid out top-down and must not be mirrored: draw each box from
    // its top-left corner in device space (top-left origin, y down).
    cairo_save(cr);
    cairo_identity_matrix(cr);
    cairo_move_to(cr, p.x, height - (p.y + p.line->height));
    cairo_set_source_rgba(cr, 1, 1, 1, p.alpha);
    pango_cairo_update_layout(cr, p.line->layout.get());
    pango_cairo_show_layout(cr, p.line->layout.get());
    cairo_restore(cr);
  }
  cairo_restore(cr);
  return true;
}

}  // namespace

frames::FrameBufferRef makeCameraOffFrame(int width, int height) {
  auto canvas = makeCanvas(width, height);
  if (!canvas) return nullptr;
  drawCameraOff(canvas->cr.get(), width, height, kCameraOffBackground, kCameraOffIcon);
  return finish(*canvas);
}

frames::FrameBufferRef makeNotRunningFrame(int width, int height) {
  auto canvas = makeCanvas(width, height);
  if (!canvas) return nullptr;
  if (!drawNotRunning(canvas->cr.get(), width, height)) return nullptr;
  return finish(*canvas);
}

}  // namespace tovrelle::drawing
