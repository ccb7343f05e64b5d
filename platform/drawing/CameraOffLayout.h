#pragma once
// Where the camera-off icon sits in a frame of a given size: the icon's side
// and its top-left corner, in a top-left, y-down space.

namespace tovrelle::drawing {

struct CameraOffLayout {
  double size = 0;  // s
  double x0 = 0;
  double y0 = 0;
};

inline CameraOffLayout cameraOffLayout(int width, int height) {
  const double w = width, h = height;
  // Width-bound on a tie.
  const double s = (0.4 * w <= 0.71 * h) ? 0.4 * w : 0.71 * h;
  return {s, (w - s) / 2, (h - s * 487.0 / 511.0) / 2 + s * 9.0 / 511.0};
}

// Stroke widths and the slash, as fractions of the icon size.
inline constexpr double kOutlineWidth = 0.0509;
inline constexpr double kWindowLineWidth = 0.0333;
inline constexpr double kSlashGapWidth = 0.1252;
inline constexpr double kSlashFrom[2] = {0.0372, 0.0};
inline constexpr double kSlashTo[2] = {0.9432, 0.9179};

}  // namespace tovrelle::drawing
