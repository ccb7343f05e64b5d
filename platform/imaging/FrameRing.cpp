#include "platform/imaging/FrameRing.h"

#include <chrono>
#include <cstring>

namespace tovrelle::imaging {
namespace {

// The player nudges the worker without taking a lock, so a nudge can be
// missed; the worker also looks again this often.
constexpr auto kRecheck = std::chrono::milliseconds(10);

}  // namespace

FrameRing::FrameRing(std::unique_ptr<Producer> producer, size_t frameCount, size_t capacity)
    : producer_(std::move(producer)), frameCount_(frameCount), capacity_(capacity),
      slots_(std::make_unique<Slot[]>(capacity)) {}

std::unique_ptr<FrameRing> FrameRing::start(std::unique_ptr<Producer> producer, size_t frameCount, size_t capacity,
                                            int width, int height) {
  if (!producer || frameCount == 0 || capacity < 2) return nullptr;
  std::unique_ptr<FrameRing> ring(new FrameRing(std::move(producer), frameCount, capacity));
  for (size_t i = 0; i < capacity; ++i) {
    ring->slots_[i].buffer = frames::makePixelBuffer(width, height);
    if (!ring->slots_[i].buffer) return nullptr;
  }
  if (!ring->producer_->produce(0, *ring->slots_[0].buffer)) return nullptr;
  ring->slots_[0].position.store(0, std::memory_order_release);
  ring->produced_.store(1, std::memory_order_release);
  ring->worker_ = std::thread([r = ring.get()] { r->run(); });
  return ring;
}

FrameRing::~FrameRing() {
  {
    std::lock_guard lock(mutex_);
    stop_.store(true);
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

frames::ConstPixelBufferRef FrameRing::frame(size_t index) {
  const int64_t n = static_cast<int64_t>(frameCount_);
  const int64_t shown = consumed_.load(std::memory_order_relaxed);
  // The first place at or after the one on show that plays `index`.
  int64_t wanted = shown - shown % n + static_cast<int64_t>(index % frameCount_);
  if (wanted < shown) wanted += n;

  Slot& slot = slots_[static_cast<size_t>(wanted) % capacity_];
  int64_t position = wanted;
  if (slot.position.load(std::memory_order_acquire) != wanted) {
    // Not rendered yet: the newest frame that is. The worker never touches
    // the newest slot, nor any slot at or after the one on show.
    position = produced_.load(std::memory_order_acquire) - 1;
    late_.fetch_add(1, std::memory_order_relaxed);
  }
  if (position > shown) {
    consumed_.store(position, std::memory_order_release);
    wake_.notify_one();
  }
  return slots_[static_cast<size_t>(position) % capacity_].buffer;
}

bool FrameRing::waitForRoom(int64_t position) {
  Slot& slot = slots_[static_cast<size_t>(position) % capacity_];
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stop_.load()) return false;
    // The slot holds position - capacity: reusable once the player has moved
    // past it and nobody downstream still holds its buffer.
    if (position - static_cast<int64_t>(capacity_) < consumed_.load(std::memory_order_acquire) &&
        slot.buffer.use_count() == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);
      return true;
    }
    wake_.wait_for(lock, kRecheck);
  }
}

void FrameRing::run() {
  for (int64_t position = 1;; ++position) {
    if (!waitForRoom(position)) return;
    const size_t index = static_cast<size_t>(position % static_cast<int64_t>(frameCount_));
    if (index == 0 && !producer_->restart()) return;
    Slot& slot = slots_[static_cast<size_t>(position) % capacity_];
    if (!producer_->produce(index, *slot.buffer)) {
      const Slot& previous = slots_[static_cast<size_t>(position - 1) % capacity_];
      std::memcpy(slot.buffer->data(), previous.buffer->data(), slot.buffer->byteCount());
    }
    slot.position.store(position, std::memory_order_release);
    produced_.store(position + 1, std::memory_order_release);
  }
}

}  // namespace tovrelle::imaging
