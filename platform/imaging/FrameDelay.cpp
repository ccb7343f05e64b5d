#include "platform/imaging/FrameDelay.h"

#include <cstring>
#include <initializer_list>

namespace tovrelle::imaging {

double frameDelay(const FrameDelays& d) {
  for (const std::optional<double>* v :
       {&d.gifUnclampedDelay, &d.gifDelay, &d.apngUnclampedDelay, &d.apngDelay, &d.webpDelay}) {
    if (v->has_value() && **v > 0) return **v >= kMinimumFrameDelay ? **v : kDefaultFrameDelay;
  }
  return kDefaultFrameDelay;
}

FrameDelays gifFrameDelays(const uint8_t* p, size_t n) {
  FrameDelays delays;
  size_t pos = 0;
  // The first frame's data starts with the file header and screen descriptor.
  if (n >= 13 && std::memcmp(p, "GIF8", 4) == 0) {
    const uint8_t flags = p[10];
    pos = 13;
    if (flags & 0x80) pos += size_t{3} << ((flags & 7) + 1);
  }
  while (pos < n && p[pos] == 0x21) {  // extension blocks in front of the image
    if (pos + 1 >= n) break;
    const uint8_t label = p[pos + 1];
    pos += 2;
    if (label == 0xf9 && pos + 4 < n && p[pos] >= 4) {
      const unsigned centiseconds = p[pos + 2] | (p[pos + 3] << 8);
      delays.gifUnclampedDelay = centiseconds / 100.0;
      delays.gifDelay = centiseconds / 100.0;
    }
    while (pos < n) {  // sub-blocks up to the empty one
      const size_t length = p[pos];
      pos += 1 + length;
      if (length == 0) break;
    }
  }
  return delays;
}

FrameDelays apngFrameDelays(const uint8_t* p, size_t n) {
  FrameDelays delays;
  size_t pos = (n >= 8 && std::memcmp(p, kPngSignature, 8) == 0) ? 8 : 0;
  while (pos + 8 <= n) {
    const uint32_t length =
        (uint32_t{p[pos]} << 24) | (uint32_t{p[pos + 1]} << 16) | (uint32_t{p[pos + 2]} << 8) | p[pos + 3];
    const uint8_t* type = p + pos + 4;
    const size_t data = pos + 8;
    if (std::memcmp(type, "fcTL", 4) == 0) {
      if (length >= 26 && data + 26 <= n) {
        const unsigned num = (p[data + 20] << 8) | p[data + 21];
        unsigned den = (p[data + 22] << 8) | p[data + 23];
        if (den == 0) den = 100;  // a zero denominator means hundredths
        delays.apngUnclampedDelay = static_cast<double>(num) / den;
        delays.apngDelay = static_cast<double>(num) / den;
      }
      break;
    }
    if (length > n - data) break;
    pos = data + length + 4;  // data and CRC
  }
  return delays;
}

}  // namespace tovrelle::imaging
