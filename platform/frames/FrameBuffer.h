#pragma once
// Frames of the virtual camera: 32-bit BGRA buffers (bytes blue, green, red,
// then one ignored byte) with a fixed stride, and the host clock that stamps them.
// A buffer is Reentrant while it is written; once shared as const it may be
// read from any thread, and its converted forms are made under its lock.
// The pool is Thread-safe.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/frames/PixelFormat.h"

namespace tovrelle::frames {

inline constexpr int kFrameWidth = 1280;
inline constexpr int kFrameHeight = 720;

class FrameBuffer {
 public:
  // Rows are padded to 64 bytes so SIMD loops and Cairo's stride rules agree.
  static constexpr int strideFor(int width) { return ((width * 4) + 63) & ~63; }

  FrameBuffer(int width, int height);
  FrameBuffer(const FrameBuffer&) = delete;
  FrameBuffer& operator=(const FrameBuffer&) = delete;

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
  const uint8_t* row(int y) const { return data_.get() + static_cast<size_t>(y) * static_cast<size_t>(bytesPerRow_); }
  void fillZero();

  // This picture in other layouts (the camera clients' formats), made once by
  // whoever needs them and kept while the pixels stay the same.
  using Derived = std::shared_ptr<const std::vector<uint8_t>>;
  Derived derived(PixelFormat format) const;
  void keepDerived(PixelFormat format, Derived bytes) const;

 private:
  void forgetDerived() {
    if (hasDerived_.load(std::memory_order_acquire)) forgetDerivedSlow();
  }
  void forgetDerivedSlow();
  static constexpr int kDerivedSlots = static_cast<int>(std::size(kPixelFormats));
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

using FrameBufferRef = std::shared_ptr<FrameBuffer>;
using ConstFrameBufferRef = std::shared_ptr<const FrameBuffer>;

// A new buffer, or none when the size is not positive or memory runs out.
FrameBufferRef makeFrameBuffer(int width, int height);

// Recycles buffers of one size so steady-state frame production allocates
// nothing: the pool keeps its buffers and hands out one that nobody else holds
// any more; of the unused ones it keeps at most `maxIdle`.
class FrameBufferPool {
 public:
  static std::shared_ptr<FrameBufferPool> create(int width, int height, size_t maxIdle = 8);
  FrameBufferRef acquire();
  // Buffers the pool holds that no caller is using.
  size_t idleCount() const;

 private:
  FrameBufferPool(int width, int height, size_t maxIdle) : width_(width), height_(height), maxIdle_(maxIdle) {}
  int width_;
  int height_;
  size_t maxIdle_;
  void trimLocked() const;
  mutable std::mutex mutex_;
  mutable std::vector<FrameBufferRef> buffers_;
};

// CLOCK_MONOTONIC, the host clock every frame is stamped with.
uint64_t hostTimeNanos();
double hostTimeSeconds();

}  // namespace tovrelle::frames
