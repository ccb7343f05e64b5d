#pragma once
// How long each frame of an animation stays on show, from the delay values
// the file itself states for it.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tovrelle::imaging {

// The four delay values a frame may carry, in seconds, as the file states
// them. A GIF frame's value comes from its graphic control block (both GIF
// fields); an animated PNG frame's from its frame control chunk (both APNG
// fields). A value is absent when the file has none for the frame.
struct FrameDelays {
  std::optional<double> gifUnclampedDelay;
  std::optional<double> gifDelay;
  std::optional<double> apngUnclampedDelay;
  std::optional<double> apngDelay;
  // An animated WebP frame's duration (its ANMF chunk), in seconds.
  std::optional<double> webpDelay;
};

// The eight bytes every PNG file starts with.
inline constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};

inline constexpr double kDefaultFrameDelay = 0.1;
inline constexpr double kMinimumFrameDelay = 0.02;

// The first value present and above zero, in the order GIF unclamped, GIF,
// APNG unclamped, APNG, WebP; 0.1 s when there is none or it is below 0.02 s.
// No upper limit.
double frameDelay(const FrameDelays& delays);

// The delay stated in one demuxed frame of each container: the graphic
// control block in front of a GIF image, the frame control chunk of an
// animated PNG frame. Both read whatever bytes they are given and never read
// past `size`.
FrameDelays gifFrameDelays(const uint8_t* data, size_t size);
FrameDelays apngFrameDelays(const uint8_t* data, size_t size);

}  // namespace tovrelle::imaging
