#include <gtest/gtest.h>

#include <cstring>

#include "platform/frames/PixelBuffer.h"

using namespace tovrelle::frames;

TEST(PixelBuffer, HasTheFrameLayout) {
  auto b = makePixelBuffer(kFrameWidth, kFrameHeight);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->bytesPerRow(), 5120);
  EXPECT_EQ(b->byteCount(), 5120u * 720u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b->data()) % 64, 0u);
  std::memset(b->data(), 0xAB, b->byteCount());
  b->fillZero();
  for (size_t i = 0; i < b->byteCount(); i += 997) ASSERT_EQ(b->data()[i], 0);
  EXPECT_EQ(PixelBuffer::strideFor(321), 1344);
  EXPECT_FALSE(makePixelBuffer(0, 10));
  EXPECT_FALSE(makePixelBuffer(10, -1));
}

TEST(PixelBufferPool, RecyclesBuffersInsteadOfAllocating) {
  auto pool = PixelBufferPool::create(64, 32, 2);
  const uint8_t* first;
  {
    auto a = pool->acquire();
    first = a->data();
  }
  EXPECT_EQ(pool->idleCount(), 1u);
  auto again = pool->acquire();
  EXPECT_EQ(again->data(), first);
  {
    auto x = pool->acquire(), y = pool->acquire(), z = pool->acquire();
  }
  EXPECT_EQ(pool->idleCount(), 2u);  // bounded
  // A buffer outliving its pool is simply freed.
  pool.reset();
  again.reset();
}

TEST(HostClock, IsMonotonicNanoseconds) {
  uint64_t a = hostTimeNanos();
  uint64_t b = hostTimeNanos();
  EXPECT_LE(a, b);
  EXPECT_NEAR(hostTimeSeconds(), static_cast<double>(hostTimeNanos()) / 1e9, 0.01);
}
