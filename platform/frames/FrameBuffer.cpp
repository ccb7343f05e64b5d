#include "platform/frames/FrameBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tovrelle::frames {

void FrameBuffer::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

FrameBuffer::FrameBuffer(int width, int height) : width_(width), height_(height), bytesPerRow_(strideFor(width)) {
  void* p = nullptr;
  if (posix_memalign(&p, 64, byteCount()) != 0) p = nullptr;
  data_.reset(static_cast<uint8_t*>(p));
}

void FrameBuffer::fillZero() {
  forgetDerived();
  if (data_) std::memset(data_.get(), 0, byteCount());
}

FrameBuffer::Derived FrameBuffer::derived(PixelFormat format) const {
  const int key = static_cast<int>(format);
  if (key < 0 || key >= kDerivedSlots || !hasDerived_.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard lock(derivedMutex_);
  return derived_[key];
}

void FrameBuffer::keepDerived(PixelFormat format, Derived bytes) const {
  const int key = static_cast<int>(format);
  if (key < 0 || key >= kDerivedSlots) return;
  std::lock_guard lock(derivedMutex_);
  derived_[key] = std::move(bytes);
  hasDerived_.store(true, std::memory_order_release);
}

void FrameBuffer::forgetDerivedSlow() {
  std::lock_guard lock(derivedMutex_);
  for (auto& d : derived_) d.reset();
  hasDerived_.store(false, std::memory_order_release);
}

FrameBufferRef makeFrameBuffer(int width, int height) {
  if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return nullptr;
  auto buffer = std::make_shared<FrameBuffer>(width, height);
  if (buffer->data() == nullptr) return nullptr;
  return buffer;
}

std::shared_ptr<FrameBufferPool> FrameBufferPool::create(int width, int height, size_t maxIdle) {
  return std::shared_ptr<FrameBufferPool>(new FrameBufferPool(width, height, maxIdle));
}

void FrameBufferPool::trimLocked() const {
  size_t idle = 0;
  std::erase_if(buffers_, [&](const FrameBufferRef& buffer) { return buffer.use_count() == 1 && ++idle > maxIdle_; });
}

FrameBufferRef FrameBufferPool::acquire() {
  std::lock_guard lock(mutex_);
  trimLocked();
  // Only the pool hands out new references, under this lock, so a count of one
  // means nobody else holds the buffer any more.
  for (auto& buffer : buffers_)
    if (buffer.use_count() == 1) return buffer;
  auto buffer = makeFrameBuffer(width_, height_);
  if (buffer) buffers_.push_back(buffer);
  return buffer;
}

size_t FrameBufferPool::idleCount() const {
  std::lock_guard lock(mutex_);
  trimLocked();
  return static_cast<size_t>(
      std::count_if(buffers_.begin(), buffers_.end(), [](const FrameBufferRef& b) { return b.use_count() == 1; }));
}

uint64_t hostTimeNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double hostTimeSeconds() { return static_cast<double>(hostTimeNanos()) / 1e9; }

}  // namespace tovrelle::frames
