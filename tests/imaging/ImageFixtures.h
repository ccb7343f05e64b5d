#pragma once
// Writers for the small image files the imaging tests, benchmarks and the
// fuzzer's seed corpus are made of. Every byte is produced here, so each
// fixture's frames, delays, disposal and blend operations are known exactly.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tovrelle::test::fixtures {

// 0xRRGGBB
using Rgb = uint32_t;

struct GifFrame {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<uint8_t> indices;   // width * height palette indices
  std::optional<int> delayCs;     // no value: the frame carries no graphic control block
  int disposal = 0;               // 0..3 as stored in the file
  int transparentIndex = -1;      // -1: none
  std::vector<Rgb> localPalette;  // empty: use the global palette
};

struct Gif {
  int width = 0, height = 0;
  std::vector<Rgb> globalPalette;  // may be empty when every frame has its own
  int backgroundIndex = 0;
  bool loop = true;  // writes the looping application block
  std::vector<GifFrame> frames;
};

std::vector<uint8_t> encodeGif(const Gif& gif);

// A frame of one solid palette index over the whole screen.
GifFrame solidGifFrame(int width, int height, uint8_t index, std::optional<int> delayCs);

struct PngFrame {
  int x = 0, y = 0, width = 0, height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4
  uint16_t delayNum = 1, delayDen = 10;
  uint8_t dispose = 0;  // 0 none, 1 background, 2 previous
  uint8_t blend = 0;    // 0 source, 1 over
};

struct Apng {
  int width = 0, height = 0;
  std::vector<PngFrame> frames;
  // false: the default image is written without a frame control chunk and is
  // not part of the animation; `hiddenDefault` is then its pixels.
  bool defaultIsFirstFrame = true;
  std::vector<uint8_t> hiddenDefault;
  uint32_t plays = 0;
};

std::vector<uint8_t> encodeApng(const Apng& apng);
// A plain (not animated) RGBA PNG.
std::vector<uint8_t> encodePng(int width, int height, const std::vector<uint8_t>& rgba);
// An animated WebP built frame by frame (each frame a lossless WebP placed
// with its own offset, duration, disposal and blending), so what libwebp's
// animation decoder must compose is known exactly. Offsets must be even.
struct WebpFrame {
  int x = 0, y = 0, width = 0, height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4
  int durationMs = 100;
  bool disposeToBackground = false;  // else: leave as is
  bool blend = true;                 // alpha-blend over what is there, else replace
};
struct AnimatedWebp {
  int width = 0, height = 0;
  std::vector<WebpFrame> frames;
};
std::vector<uint8_t> encodeAnimatedWebp(const AnimatedWebp& webp);
// A lossless still WebP.
std::vector<uint8_t> encodeWebp(int width, int height, const std::vector<uint8_t>& rgba);

// An RGBA PNG written row by row (so a very large one costs one row of
// memory), `row(y, out)` filling width * 4 bytes. Written to `path`.
void writePng(const std::filesystem::path& path, int width, int height,
              const std::function<void(int y, uint8_t* rgba)>& row);

// A bottom-up 24-bit BMP.
std::vector<uint8_t> encodeBmp(int width, int height, const std::vector<uint8_t>& rgb);

// A still image made by one of FFmpeg's encoders ("mjpeg", "tiff", "libwebp",
// "png", "bmp") from 8-bit RGB pixels; empty if the encoder is missing.
std::vector<uint8_t> encodeWithFfmpeg(const char* encoder, int width, int height, const std::vector<uint8_t>& rgb);

// A baseline JPEG written row by row (so a 100 MP picture costs one row of
// memory), `row(y, out)` filling width * 3 RGB bytes, with an EXIF block
// carrying `orientation` (1..8) when it is not 0. Written to `path`.
void writeJpeg(const std::filesystem::path& path, int width, int height,
               const std::function<void(int y, uint8_t* rgb)>& row, int orientation = 0, int quality = 90);

std::vector<uint8_t> solidRgba(int width, int height, uint8_t r, uint8_t g, uint8_t b, uint8_t a);

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Four quadrants: red top-left, green top-right, blue bottom-left, white
// bottom-right.
std::vector<uint8_t> quadrantsRgb(int width, int height);

// The named fixture set used as the fuzzer's seeds (name, bytes).
std::vector<std::pair<std::string, std::vector<uint8_t>>> seedCorpus();

}  // namespace tovrelle::test::fixtures
