#pragma once
// Frames of the virtual camera: 32-bit BGRA buffers (bytes blue, green, red,
// then one ignored byte) with a fixed stride, and the host clock that stamps them.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tovrelle::frames {

inline constexpr int kFrameWidth = 1280;
inline constexpr int kFrameHeight = 720;
inline constexpr uint32_t kFourCCBGRA = 0x42475241;  // "BGRA"

class PixelBuffer {
 public:
  // Rows are padded to 64 bytes so SIMD loops and Cairo's stride rules agree.
  static constexpr int strideFor(int width) { return ((width * 4) + 63) & ~63; }

  PixelBuffer(int width, int height);
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  int bytesPerRow() const { return bytesPerRow_; }
  size_t byteCount() const { return static_cast<size_t>(bytesPerRow_) * static_cast<size_t>(height_); }
  // Writing access forgets the converted forms kept below.
  uint8_t* data() {
    forgetDerived();
    return data_.get();
  }
  const uint8_t* data() const { return data_.get(); }
  uint8_t* row(int y) {
    forgetDerived();
    return data_.get() + static_cast<size_t>(y) * static_cast<size_t>(bytesPerRow_);
  }
  const uint8_t* row(int y) const {
    return data_.get() + static_cast<size_t>(y) * static_cast<size_t>(bytesPerRow_);
  }
  void fillZero();

  // This picture in other layouts (the camera clients' formats), made once by
  // whoever needs them and kept while the pixels stay the same.
  using Derived = std::shared_ptr<const std::vector<uint8_t>>;
  Derived derived(int key) const;
  void keepDerived(int key, Derived bytes) const;

 private:
  void forgetDerived() {
    if (hasDerived_.load(std::memory_order_acquire)) forgetDerivedSlow();
  }
  void forgetDerivedSlow();
  static constexpr int kDerivedSlots = 8;
  mutable std::mutex derivedMutex_;
  mutable std::atomic<bool> hasDerived_{false};
  mutable Derived derived_[kDerivedSlots];
  struct FreeDeleter {
    void operator()(uint8_t* p) const;
  };
  int width_;
  int height_;
  int bytesPerRow_;
  std::unique_ptr<uint8_t, FreeDeleter> data_;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;
using ConstPixelBufferRef = std::shared_ptr<const PixelBuffer>;

// A new buffer, or none when the size is not positive or memory runs out.
PixelBufferRef makePixelBuffer(int width, int height);

// Recycles buffers of one size so steady-state frame production allocates
// nothing: the pool keeps its buffers and hands out one that nobody else holds
// any more; of the unused ones it keeps at most `maxIdle`.
class PixelBufferPool {
 public:
  static std::shared_ptr<PixelBufferPool> create(int width, int height, size_t maxIdle = 8);
  PixelBufferRef acquire();
  // Buffers the pool holds that no caller is using.
  size_t idleCount() const;

 private:
  PixelBufferPool(int width, int height, size_t maxIdle) : width_(width), height_(height), maxIdle_(maxIdle) {}
  int width_;
  int height_;
  size_t maxIdle_;
  void trimLocked() const;
  mutable std::mutex mutex_;
  mutable std::vector<PixelBufferRef> buffers_;
};

// CLOCK_MONOTONIC, the host clock every frame is stamped with.
uint64_t hostTimeNanos();
double hostTimeSeconds();

}  // namespace tovrelle::frames
