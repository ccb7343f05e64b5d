#pragma once
// The test camera's picture: eight colour bars over three rows of 32 black or
// white blocks that carry the frame counter, its complement (so a black or
// half-drawn frame never decodes) and the CLOCK_MONOTONIC microsecond at
// which the frame was made (for latency). Everything sits inside the centred
// 16:9 part of the frame, so a 1280x720 centre-cropped copy of any source
// size decodes with the same geometry; outside it the picture is grey.
#include <cstdint>
#include <optional>

namespace tovrelle::testpattern {

struct Rgb {
  uint8_t r, g, b;
};

inline constexpr int kBarCount = 8;
inline constexpr Rgb kBars[kBarCount] = {
    {255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0}, {255, 0, 255}, {255, 0, 0}, {0, 0, 255}, {0, 0, 0},
};
inline constexpr Rgb kGrey = {128, 128, 128};

struct Point {
  int x, y;
};

// Centre of bar `index` in a picture of width x height.
Point barCentre(int index, int width, int height);

// The whole pattern (bars, grey, counter rows for frame 0) into a BGRA picture.
void drawPattern(uint8_t* bgra, int width, int height, int stride);
// Rewrites only the counter rows.
void drawCounter(uint8_t* bgra, int width, int height, int stride, uint32_t counter, uint32_t stampMicros);

struct Decoded {
  uint32_t counter;
  uint32_t stampMicros;
};
// The counter and stamp of a BGRA picture, or none when it does not carry them.
std::optional<Decoded> decode(const uint8_t* bgra, int width, int height, int stride);

// Average colour of a 5x5 patch at `p` of a BGRA picture.
Rgb sample(const uint8_t* bgra, int stride, Point p);

// Low 32 bits of CLOCK_MONOTONIC in microseconds, and how far `later` is after `earlier`.
uint32_t stampNow();
inline uint32_t microsBetween(uint32_t earlier, uint32_t later) { return later - earlier; }

}  // namespace tovrelle::testpattern
