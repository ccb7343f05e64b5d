#pragma once
// A fixed ring of rendered frames that a worker thread fills ahead of a
// player: memory stays at `capacity` frames however long the animation is.
// The player's side never blocks and never allocates: it gets the frame it
// asks for when it is ready, else the newest frame that is.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/frames/PixelBuffer.h"

namespace tovrelle::imaging {

class FrameRing {
 public:
  // Renders the animation's frames in order, lap after lap, on the worker.
  class Producer {
   public:
    virtual ~Producer() = default;
    // Before frame 0 of every lap but the first; false ends production.
    virtual bool restart() = 0;
    // Renders frame `index` into `out`; false when this frame fails (the ring
    // then repeats the frame before it).
    virtual bool produce(size_t index, frames::PixelBuffer& out) = 0;
  };

  // Renders frame 0 on the calling thread, then starts the worker. None when
  // frame 0 fails or memory for the ring cannot be had. capacity >= 2.
  static std::unique_ptr<FrameRing> start(std::unique_ptr<Producer> producer, size_t frameCount, size_t capacity,
                                          int width, int height);
  ~FrameRing();
  FrameRing(const FrameRing&) = delete;
  FrameRing& operator=(const FrameRing&) = delete;

  // The player's call, from one thread at a time, asking for frames in play
  // order (index + 1 after index, wrapping).
  frames::ConstPixelBufferRef frame(size_t index);

  size_t capacity() const { return capacity_; }
  // Frames rendered so far, over all laps.
  uint64_t produced() const { return static_cast<uint64_t>(produced_.load(std::memory_order_acquire)); }
  // Calls that got an older frame than they asked for.
  uint64_t lateFrames() const { return late_.load(std::memory_order_relaxed); }

 private:
  struct Slot {
    frames::PixelBufferRef buffer;
    std::atomic<int64_t> position{-1};  // place in play order, over all laps
  };

  FrameRing(std::unique_ptr<Producer> producer, size_t frameCount, size_t capacity);
  void run();
  bool waitForRoom(int64_t position);

  std::unique_ptr<Producer> producer_;
  const size_t frameCount_;
  const size_t capacity_;
  std::unique_ptr<Slot[]> slots_;
  std::atomic<int64_t> produced_{0};  // positions [0, produced_) have been published
  std::atomic<int64_t> consumed_{0};  // the position the player shows
  std::atomic<uint64_t> late_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread worker_;
};

}  // namespace tovrelle::imaging
