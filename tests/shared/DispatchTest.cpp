#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <numeric>
#include <set>
#include <thread>

#include "platform/dispatch/Dispatch.h"

using namespace tovrelle;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksInOrderOnOneThread) {
  auto q = dispatch::makeSerialQueue("ossel.tovrelle.test");
  std::vector<int> seen;
  std::set<std::thread::id> threads;
  for (int i = 0; i < 100; ++i)
    q->async([&, i] {
      seen.push_back(i);
      threads.insert(std::this_thread::get_id());
    });
  bool current = false;
  q->sync([&] { current = q->isCurrent(); });
  EXPECT_TRUE(current);
  EXPECT_FALSE(q->isCurrent());
  std::vector<int> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(threads.size(), 1u);
}

TEST(SerialQueue, TimersRepeatUntilCancelledAndReleaseTheirHandler) {
  auto q = dispatch::makeSerialQueue("timers");
  std::promise<void> fiveFirings;
  std::atomic<int> fired{0};
  auto payload = std::make_shared<int>(0);
  std::weak_ptr<int> weakPayload = payload;
  auto timer = q->schedule(0ns, 1ms, [&, payload] {
    if (++fired == 5) fiveFirings.set_value();
  });
  payload.reset();
  ASSERT_EQ(fiveFirings.get_future().wait_for(10s), std::future_status::ready);
  timer->cancel();
  timer.reset();
  q->sync([] {});  // a firing under way finishes; none comes after
  const int atCancel = fired;
  std::promise<void> later;
  q->schedule(20ms, 0ns, [&] { later.set_value(); });
  ASSERT_EQ(later.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(fired.load(), atCancel);
  EXPECT_TRUE(weakPayload.expired()) << "a cancelled timer lets go of what its handler holds";
}
