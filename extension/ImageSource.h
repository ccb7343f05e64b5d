#pragma once
// Loading of library images for image mode: animations are decoded up front
// (or, past a memory bound, decoded ahead into a ring) and still images are
// rendered once, so a frame-timer firing only picks a ready buffer.
// Reentrant: images are loaded on the image queue; a loaded image is read by
// the timer queue only (an animation's ring has its own worker and lock).
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/frames/FrameBuffer.h"

namespace tovrelle::extension {

class AnimatedImage {
 public:
  virtual ~AnimatedImage() = default;
  virtual size_t frameCount() const = 0;
  // Display time of the frame, in seconds, after the < 0.02 s -> 0.1 s rule.
  virtual double delay(size_t index) const = 0;
  // The 1280x720 rendering of frame `index`. Called on the timer queue; never
  // blocks or allocates.
  virtual frames::ConstFrameBufferRef frame(size_t index) = 0;
};

struct StillImage {
  frames::ConstFrameBufferRef rendered;  // 1280x720, aspect-fit on black; none if it could not be rendered
  int pixelWidth = 0;
  int pixelHeight = 0;
};

// Animations whose rendered frames would take more than this are not held
// whole: a worker decodes ahead into a ring of kDecodeAheadFrames frames.
inline constexpr size_t kPrerenderBytes = size_t{512} * 1024 * 1024;
inline constexpr size_t kDecodeAheadFrames = 24;
// The most frames an animation may have and still be rendered up front.
size_t prerenderedFrameLimit();

// An animation of two or more frames, or none (one frame, unreadable, or a
// frame that fails to decode: the caller then tries the still path).
std::shared_ptr<AnimatedImage> loadAnimatedImage(const std::filesystem::path& file);

// The file's first picture, or none when it is not readable as an image.
std::optional<StillImage> loadStillImage(const std::filesystem::path& file);

}  // namespace tovrelle::extension
