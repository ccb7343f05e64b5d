#pragma once
// Aspect-fit of a decoded picture into a camera frame: as large as fits,
// centred, black bars on the two remaining sides.
#include "platform/frames/PixelBuffer.h"
#include "platform/imaging/Decoder.h"

namespace tovrelle::imaging {

// The picture's area in a frame of W x H: with k = min(W/iw, H/ih) (W/iw on
// a tie), the rectangle ((W - k iw)/2, (H - k ih)/2, k iw, k ih).
struct FitRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};
FitRect aspectFit(int imageWidth, int imageHeight, int frameWidth, int frameHeight);

// Fills `frame` with black and draws the picture into its fit rectangle,
// filtered (bilinear when enlarging, box-averaged when reducing), with
// partly covered edge pixels blended into the bars. False when the picture
// is empty or cannot be drawn; the frame is black then.
bool renderFitted(const Canvas& picture, frames::PixelBuffer& frame);

}  // namespace tovrelle::imaging
