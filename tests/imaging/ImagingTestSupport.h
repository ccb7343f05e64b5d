#pragma once
// Shared helpers of the imaging tests: pixels of decoded pictures and frames,
// files in a scratch folder, and FFmpeg kept quiet about the broken inputs
// the tests feed it on purpose.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "platform/frames/FrameBuffer.h"
#include "platform/imaging/Decoder.h"
#include "tests/imaging/ImageFixtures.h"

namespace tovrelle::test {

struct Rgb8 {
  int r = 0, g = 0, b = 0;
  bool operator==(const Rgb8& o) const { return r == o.r && g == o.g && b == o.b; }
};
inline std::ostream& operator<<(std::ostream& os, const Rgb8& c) {
  return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}
inline bool near(const Rgb8& a, const Rgb8& b, int tolerance) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

inline Rgb8 pixel(const imaging::Canvas& c, int x, int y) {
  const uint8_t* p = c.row(y) + static_cast<size_t>(x) * 4;
  return {p[2], p[1], p[0]};
}
inline Rgb8 pixel(const frames::FrameBuffer& f, int x, int y) {
  const uint8_t* p = f.row(y) + static_cast<size_t>(x) * 4;
  return {p[2], p[1], p[0]};
}

inline const Rgb8 kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kWhite{255, 255, 255}, kBlack{0, 0, 0};

// Silences FFmpeg's own log for the life of the process.
void quietFfmpeg();

// A fresh folder under the system's temporary folder, removed on destruction.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path write(const std::string& name, const std::vector<uint8_t>& bytes) const;

 private:
  std::filesystem::path path_;
};

}  // namespace tovrelle::test
