#pragma once
// The one aspect fit: where a picture of w x h goes in a box of boxW x boxH
// when scaled to fit whole and centred. Letterboxing a picture into a frame
// fits the picture into the frame; centre-cropping a camera frame to the
// output's aspect fits the output into the camera frame.

namespace tovrelle::frames {

// Exact: with k = min(boxW/w, boxH/h), the rectangle ((boxW - k w)/2,
// (boxH - k h)/2, k w, k h); the side that fits is exactly the box's.
struct FitRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};
FitRect aspectFit(int w, int h, int boxW, int boxH);

// In whole pixels: the sides rounded down to multiples of `step` (at least
// one step, or the box side when that is smaller), the offsets too, so the
// chroma planes of subsampled formats line up. Empty for an empty picture.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool isEmpty() const { return width <= 0 || height <= 0; }
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};
PixelRect aspectFitPixels(int w, int h, int boxW, int boxH, int step = 1);

}  // namespace tovrelle::frames
