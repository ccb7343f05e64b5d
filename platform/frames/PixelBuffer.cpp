#include "platform/frames/PixelBuffer.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tovrelle::frames {

void PixelBuffer::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

PixelBuffer::PixelBuffer(int width, int height)
    : width_(width), height_(height), bytesPerRow_(strideFor(width)) {
  void* p = nullptr;
  if (posix_memalign(&p, 64, byteCount()) != 0) p = nullptr;
  data_.reset(static_cast<uint8_t*>(p));
}

void PixelBuffer::fillZero() {
  if (data_) std::memset(data_.get(), 0, byteCount());
}

PixelBufferRef makePixelBuffer(int width, int height) {
  if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return nullptr;
  auto buffer = std::make_shared<PixelBuffer>(width, height);
  if (buffer->data() == nullptr) return nullptr;
  return buffer;
}

std::shared_ptr<PixelBufferPool> PixelBufferPool::create(int width, int height, size_t maxIdle) {
  return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(width, height, maxIdle));
}

PixelBufferRef PixelBufferPool::acquire() {
  std::unique_ptr<PixelBuffer> buffer;
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      buffer = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  if (!buffer) {
    buffer = std::make_unique<PixelBuffer>(width_, height_);
    if (buffer->data() == nullptr) return nullptr;
  }
  std::weak_ptr<PixelBufferPool> weak = weak_from_this();
  return PixelBufferRef(buffer.release(), [weak](PixelBuffer* b) {
    if (auto pool = weak.lock()) {
      pool->giveBack(b);
    } else {
      delete b;
    }
  });
}

void PixelBufferPool::giveBack(PixelBuffer* buffer) {
  std::lock_guard lock(mutex_);
  if (idle_.size() < maxIdle_) {
    idle_.emplace_back(buffer);
  } else {
    delete buffer;
  }
}

size_t PixelBufferPool::idleCount() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

uint64_t hostTimeNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double hostTimeSeconds() { return static_cast<double>(hostTimeNanos()) / 1e9; }

}  // namespace tovrelle::frames
