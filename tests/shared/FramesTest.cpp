#include <gtest/gtest.h>

#include <cstring>

#include "platform/frames/PixelBuffer.h"

using namespace tovrelle::frames;

TEST(PixelBuffer, HasTheFrameLayoutAndPoolsRecycleBoundedly) {
  auto b = makePixelBuffer(kFrameWidth, kFrameHeight);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->bytesPerRow(), 5120);
  EXPECT_EQ(b->byteCount(), 5120u * 720u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b->data()) % 64, 0u);
  std::memset(b->data(), 0xAB, b->byteCount());
  b->fillZero();
  for (size_t i = 0; i < b->byteCount(); i += 997) ASSERT_EQ(b->data()[i], 0);
  EXPECT_FALSE(makePixelBuffer(0, 10));

  auto pool = PixelBufferPool::create(64, 32, 2);
  const uint8_t* first = pool->acquire()->data();
  EXPECT_EQ(pool->idleCount(), 1u);
  EXPECT_EQ(pool->acquire()->data(), first);
  { auto x = pool->acquire(), y = pool->acquire(), z = pool->acquire(); }
  EXPECT_EQ(pool->idleCount(), 2u);
}
