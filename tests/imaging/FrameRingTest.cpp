#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include "platform/imaging/FrameRing.h"

namespace tovrelle::imaging {
namespace {

using namespace std::chrono_literals;

// A producer the test can hold back: it stamps each frame with its index and
// renders only as many frames as the test allows.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  size_t allowed = std::numeric_limits<size_t>::max();
  size_t calls = 0;
  std::set<size_t> failing;
};

struct GatedProducer final : FrameRing::Producer {
  explicit GatedProducer(std::shared_ptr<Gate> gate) : gate(std::move(gate)) {}
  bool restart() override { return true; }
  bool produce(size_t index, frames::FrameBuffer& out) override {
    std::unique_lock lock(gate->mutex);
    gate->changed.wait(lock, [&] { return gate->calls < gate->allowed; });
    ++gate->calls;
    const uint32_t tag = static_cast<uint32_t>(index);
    std::memcpy(out.data(), &tag, sizeof tag);
    return !gate->failing.count(index);
  }
  std::shared_ptr<Gate> gate;
};

uint32_t tagOf(const frames::ConstFrameBufferRef& frame) {
  uint32_t tag = 0;
  std::memcpy(&tag, frame->data(), sizeof tag);
  return tag;
}

// The worker runs on its own thread; wait (bounded) until it has published
// `count` frames.
bool waitForProduced(const FrameRing& ring, uint64_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (ring.produced() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::unique_ptr<FrameRing> startRing(const std::shared_ptr<Gate>& gate, size_t frames, size_t capacity) {
  return FrameRing::start(std::make_unique<GatedProducer>(gate), frames, capacity, 8, 2);
}

TEST(FrameRing, SlowWorkerGivesTheNewestReadyFrameWithoutBlocking) {
  auto gate = std::make_shared<Gate>();
  gate->allowed = 3;  // frames 0, 1 and 2, then the worker is held inside frame 3
  auto ring = startRing(gate, 10, 4);
  ASSERT_TRUE(ring);
  ASSERT_TRUE(waitForProduced(*ring, 3));
  EXPECT_EQ(tagOf(ring->frame(0)), 0u);
  EXPECT_EQ(tagOf(ring->frame(1)), 1u);
  EXPECT_EQ(tagOf(ring->frame(2)), 2u);
  EXPECT_EQ(tagOf(ring->frame(3)), 2u);  // not there yet: the newest instead
  EXPECT_EQ(tagOf(ring->frame(4)), 2u);
  EXPECT_EQ(ring->lateFrames(), 2u);

  {
    std::lock_guard lock(gate->mutex);
    gate->allowed = std::numeric_limits<size_t>::max();
  }
  gate->changed.notify_all();
  ASSERT_TRUE(waitForProduced(*ring, 6));
  EXPECT_EQ(tagOf(ring->frame(5)), 5u);
  EXPECT_EQ(ring->lateFrames(), 2u);
}

TEST(FrameRing, BufferStillHeldDownstreamIsNotOverwritten) {
  auto gate = std::make_shared<Gate>();
  auto ring = startRing(gate, 10, 2);
  ASSERT_TRUE(ring);
  ASSERT_TRUE(waitForProduced(*ring, 2));
  frames::ConstFrameBufferRef held = ring->frame(0);
  EXPECT_EQ(tagOf(ring->frame(1)), 1u);  // the player has moved past frame 0
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ring->produced(), 2u);
  EXPECT_EQ(tagOf(held), 0u);
  held.reset();
  ASSERT_TRUE(waitForProduced(*ring, 3));
  EXPECT_EQ(tagOf(ring->frame(2)), 2u);
}

TEST(FrameRing, FailedFrameRepeatsTheFrameBeforeIt) {
  auto gate = std::make_shared<Gate>();
  gate->failing = {2};
  auto ring = startRing(gate, 6, 6);
  ASSERT_TRUE(ring);
  ASSERT_TRUE(waitForProduced(*ring, 4));
  EXPECT_EQ(tagOf(ring->frame(0)), 0u);
  EXPECT_EQ(tagOf(ring->frame(1)), 1u);
  EXPECT_EQ(tagOf(ring->frame(2)), 1u);
  EXPECT_EQ(tagOf(ring->frame(3)), 3u);
}

TEST(FrameRing, StopsPromptlyWhileWaitingForRoom) {
  auto gate = std::make_shared<Gate>();
  auto ring = startRing(gate, 50, 3);
  ASSERT_TRUE(ring);
  ASSERT_TRUE(waitForProduced(*ring, 3));
  ring.reset();  // a worker that never noticed the stop would hang the test here
  std::lock_guard lock(gate->mutex);
  EXPECT_EQ(gate->calls, 3u);
}

}  // namespace
}  // namespace tovrelle::imaging
