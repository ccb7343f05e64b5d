#include "platform/imaging/FrameRing.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace tovrelle::imaging {

struct FrameRing::Core {
  struct Slot {
    frames::FrameBufferRef buffer;
    int64_t position = -1;  // place in play order, over all laps; -1 while rendered
    int lent = 0;           // hand-outs not yet released
  };

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Slot> slots;
  int64_t produced = 0;  // positions [0, produced) have been published
  int64_t consumed = 0;  // the position the player shows
  uint64_t late = 0;
  bool stop = false;

  // A shared handle on the slot's buffer that gives the slot back when the
  // last copy goes; it holds the core, so it may outlive the ring.
  static frames::ConstFrameBufferRef lend(const std::shared_ptr<Core>& core, size_t index) {
    Slot& slot = core->slots[index];
    ++slot.lent;
    return frames::ConstFrameBufferRef(slot.buffer.get(), [core, index](const frames::FrameBuffer*) {
      {
        std::lock_guard lock(core->mutex);
        --core->slots[index].lent;
      }
      core->changed.notify_all();
    });
  }
};

FrameRing::FrameRing(std::unique_ptr<Producer> producer, size_t frameCount, size_t capacity)
    : producer_(std::move(producer)), frameCount_(frameCount), capacity_(capacity), core_(std::make_shared<Core>()) {
  core_->slots.resize(capacity);
}

std::unique_ptr<FrameRing> FrameRing::start(std::unique_ptr<Producer> producer, size_t frameCount, size_t capacity,
                                            int width, int height) {
  if (!producer || frameCount == 0 || capacity < 2) return nullptr;
  std::unique_ptr<FrameRing> ring(new FrameRing(std::move(producer), frameCount, capacity));
  for (auto& slot : ring->core_->slots) {
    slot.buffer = frames::makeFrameBuffer(width, height);
    if (!slot.buffer) return nullptr;
  }
  if (!ring->producer_->produce(0, *ring->core_->slots[0].buffer)) return nullptr;
  ring->core_->slots[0].position = 0;
  ring->core_->produced = 1;
  ring->worker_ = std::thread([r = ring.get()] { r->run(); });
  return ring;
}

FrameRing::~FrameRing() {
  {
    std::lock_guard lock(core_->mutex);
    core_->stop = true;
  }
  core_->changed.notify_all();
  if (worker_.joinable()) worker_.join();
}

uint64_t FrameRing::produced() const {
  std::lock_guard lock(core_->mutex);
  return static_cast<uint64_t>(core_->produced);
}

uint64_t FrameRing::lateFrames() const {
  std::lock_guard lock(core_->mutex);
  return core_->late;
}

frames::ConstFrameBufferRef FrameRing::frame(size_t index) {
  Core& core = *core_;
  std::unique_lock lock(core.mutex);
  const int64_t n = static_cast<int64_t>(frameCount_);
  const int64_t shown = core.consumed;
  // The first place at or after the one on show that plays `index`.
  int64_t wanted = shown - shown % n + static_cast<int64_t>(index % frameCount_);
  if (wanted < shown) wanted += n;
  int64_t position = wanted;
  if (core.slots[static_cast<size_t>(wanted) % capacity_].position != wanted) {
    // Not rendered yet: the newest frame that is.
    position = core.produced - 1;
    ++core.late;
  }
  const bool advanced = position > shown;
  if (advanced) core.consumed = position;
  auto handed = Core::lend(core_, static_cast<size_t>(position) % capacity_);
  lock.unlock();
  if (advanced) core.changed.notify_all();
  return handed;
}

void FrameRing::run() {
  Core& core = *core_;
  for (int64_t position = 1;; ++position) {
    Core::Slot& slot = core.slots[static_cast<size_t>(position) % capacity_];
    {
      // The slot holds position - capacity: reusable once the player has
      // moved past it and nobody downstream still holds its buffer.
      std::unique_lock lock(core.mutex);
      core.changed.wait(lock, [&] {
        return core.stop || (position - static_cast<int64_t>(capacity_) < core.consumed && slot.lent == 0);
      });
      if (core.stop) return;
      slot.position = -1;
    }
    const size_t index = static_cast<size_t>(position % static_cast<int64_t>(frameCount_));
    if (index == 0 && !producer_->restart()) return;
    if (!producer_->produce(index, *slot.buffer)) {
      const auto& previous = core.slots[static_cast<size_t>(position - 1) % capacity_];
      std::memcpy(slot.buffer->data(), previous.buffer->data(), slot.buffer->byteCount());
    }
    std::lock_guard lock(core.mutex);
    slot.position = position;
    core.produced = position + 1;
  }
}

}  // namespace tovrelle::imaging
