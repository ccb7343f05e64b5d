#include "tools/testcam/TestPattern.h"

#include <algorithm>
#include <ctime>

namespace tovrelle::testpattern {
namespace {

struct Area {
  int x, y, width, height;
};

Area safeArea(int width, int height) {
  Area a{0, 0, width, height};
  if (static_cast<int64_t>(width) * 9 > static_cast<int64_t>(height) * 16) {
    a.width = height * 16 / 9;
  } else {
    a.height = width * 9 / 16;
  }
  a.x = (width - a.width) / 2;
  a.y = (height - a.height) / 2;
  return a;
}

constexpr double kBarsEnd = 0.58;
// Top and bottom (as fractions of the safe area) of the three bit rows.
constexpr double kRows[3][2] = {{0.62, 0.72}, {0.74, 0.84}, {0.86, 0.96}};
constexpr int kBits = 32;

void fill(uint8_t* bgra, int stride, int x0, int y0, int x1, int y1, Rgb c) {
  for (int y = y0; y < y1; ++y) {
    uint8_t* p = bgra + static_cast<size_t>(y) * stride + 4 * x0;
    for (int x = x0; x < x1; ++x, p += 4) {
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      p[3] = 255;
    }
  }
}

int rowTop(const Area& a, int row) { return a.y + static_cast<int>(kRows[row][0] * a.height); }
int rowBottom(const Area& a, int row) { return a.y + static_cast<int>(kRows[row][1] * a.height); }
int bitLeft(const Area& a, int bit) { return a.x + static_cast<int>(static_cast<int64_t>(a.width) * bit / kBits); }

}  // namespace

Point barCentre(int index, int width, int height) {
  Area a = safeArea(width, height);
  int left = a.x + a.width * index / kBarCount;
  int right = a.x + a.width * (index + 1) / kBarCount;
  return {(left + right) / 2, a.y + static_cast<int>(kBarsEnd * a.height / 2)};
}

void drawPattern(uint8_t* bgra, int width, int height, int stride) {
  fill(bgra, stride, 0, 0, width, height, kGrey);
  Area a = safeArea(width, height);
  int barsBottom = a.y + static_cast<int>(kBarsEnd * a.height);
  for (int i = 0; i < kBarCount; ++i)
    fill(bgra, stride, a.x + a.width * i / kBarCount, a.y, a.x + a.width * (i + 1) / kBarCount, barsBottom, kBars[i]);
  drawCounter(bgra, width, height, stride, 0, 0);
}

void drawCounter(uint8_t* bgra, int width, int height, int stride, uint32_t counter, uint32_t stampMicros) {
  Area a = safeArea(width, height);
  const uint32_t values[3] = {counter, ~counter, stampMicros};
  for (int row = 0; row < 3; ++row) {
    for (int bit = 0; bit < kBits; ++bit) {
      bool on = (values[row] >> (kBits - 1 - bit)) & 1u;
      Rgb c = on ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
      fill(bgra, stride, bitLeft(a, bit), rowTop(a, row), bitLeft(a, bit + 1), rowBottom(a, row), c);
    }
  }
}

Rgb sample(const uint8_t* bgra, int stride, Point p) {
  int sum[3] = {0, 0, 0};
  for (int dy = -2; dy <= 2; ++dy) {
    const uint8_t* row = bgra + static_cast<size_t>(p.y + dy) * stride;
    for (int dx = -2; dx <= 2; ++dx) {
      const uint8_t* px = row + 4 * (p.x + dx);
      sum[0] += px[2];
      sum[1] += px[1];
      sum[2] += px[0];
    }
  }
  return {static_cast<uint8_t>(sum[0] / 25), static_cast<uint8_t>(sum[1] / 25), static_cast<uint8_t>(sum[2] / 25)};
}

std::optional<Decoded> decode(const uint8_t* bgra, int width, int height, int stride) {
  if (!bgra || width < 64 || height < 36) return std::nullopt;
  Area a = safeArea(width, height);
  uint32_t values[3] = {0, 0, 0};
  for (int row = 0; row < 3; ++row) {
    int y = (rowTop(a, row) + rowBottom(a, row)) / 2;
    for (int bit = 0; bit < kBits; ++bit) {
      int x = (bitLeft(a, bit) + bitLeft(a, bit + 1)) / 2;
      Rgb c = sample(bgra, stride, {x, y});
      int level = (c.r + c.g + c.b) / 3;
      if (level > 64 && level < 192) return std::nullopt;  // neither black nor white
      values[row] = (values[row] << 1) | (level >= 192 ? 1u : 0u);
    }
  }
  if (values[1] != ~values[0]) return std::nullopt;
  return Decoded{values[0], values[2]};
}

uint32_t stampNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t micros = static_cast<uint64_t>(ts.tv_sec) * 1000000ull + static_cast<uint64_t>(ts.tv_nsec) / 1000ull;
  return static_cast<uint32_t>(micros);
}

}  // namespace tovrelle::testpattern
