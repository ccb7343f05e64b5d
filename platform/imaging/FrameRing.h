#pragma once
// A fixed ring of rendered frames that a worker thread fills ahead of a
// player: memory stays at `capacity` frames however long the animation is.
// The player's side never waits for the worker and never allocates: it gets
// the frame it asks for when it is ready, else the newest frame that is. One
// mutex and one condition guard the ring: the worker sleeps on it until the
// player has moved past a slot and every hand-out of that slot is released.
// Thread-safe between its two sides: one worker thread of its own and one
// player at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/frames/FrameBuffer.h"

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
    virtual bool produce(size_t index, frames::FrameBuffer& out) = 0;
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
  frames::ConstFrameBufferRef frame(size_t index);

  size_t capacity() const { return capacity_; }
  // Frames rendered so far, over all laps.
  uint64_t produced() const;
  // Calls that got an older frame than they asked for.
  uint64_t lateFrames() const;

 private:
  struct Core;
  FrameRing(std::unique_ptr<Producer> producer, size_t frameCount, size_t capacity);
  void run();

  std::unique_ptr<Producer> producer_;
  const size_t frameCount_;
  const size_t capacity_;
  // The slots and their buffers, shared with every frame handed out so a
  // frame still queued downstream outlives the ring.
  std::shared_ptr<Core> core_;
  std::thread worker_;
};

}  // namespace tovrelle::imaging
