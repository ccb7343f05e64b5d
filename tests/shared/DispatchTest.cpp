#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <set>

#include "platform/dispatch/Dispatch.h"
#include "tests/fakes/ManualDispatch.h"

using namespace tovrelle;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksInOrderOnOneThread) {
  auto q = dispatch::makeSerialQueue("ossel.tovrelle.test");
  std::vector<int> seen;
  std::set<std::thread::id> threads;
  for (int i = 0; i < 100; ++i) q->async([&, i] {
      seen.push_back(i);
      threads.insert(std::this_thread::get_id());
    });
  bool current = false;
  q->sync([&] { current = q->isCurrent(); });
  EXPECT_TRUE(current);
  EXPECT_FALSE(q->isCurrent());
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(q->label(), "ossel.tovrelle.test");
}

TEST(SerialQueue, RepeatingTimersKeepCadenceAndStopWhenCancelled) {
  auto q = dispatch::makeSerialQueue("timers");
  std::atomic<int> fired{0};
  auto start = dispatch::Clock::now();
  auto timer = q->schedule(0ns, 10ms, [&] { ++fired; });
  std::this_thread::sleep_for(105ms);
  timer->cancel();
  int atCancel = fired;
  std::this_thread::sleep_for(40ms);
  EXPECT_EQ(fired.load(), atCancel);
  EXPECT_GE(atCancel, 5);
  EXPECT_LE(atCancel, 13);
  EXPECT_TRUE(timer->isCancelled());
  (void)start;

  std::promise<void> once;
  q->schedule(5ms, 0ns, [&] { once.set_value(); });
  EXPECT_EQ(once.get_future().wait_for(1s), std::future_status::ready);
}

TEST(SerialQueue, WeaklyHeldOwnersAreNotCalledOnceGone) {
  struct Owner {
    int calls = 0;
  };
  auto owner = std::make_shared<Owner>();
  auto task = dispatch::weakly(owner, [](Owner& o) { ++o.calls; });
  task();
  EXPECT_EQ(owner->calls, 1);
  std::weak_ptr<Owner> weak = owner;
  owner.reset();
  task();  // must not touch freed memory
  EXPECT_TRUE(weak.expired());
}

TEST(RunLoop, ServesTheCallingThreadUntilStopped) {
  auto loop = dispatch::RunLoop::create();
  int ticks = 0;
  std::shared_ptr<dispatch::Timer> t;
  t = loop->schedule(1ms, 1ms, [&] {
    if (++ticks == 3) loop->stop();
  });
  loop->run();
  EXPECT_EQ(ticks, 3);
}

TEST(ManualDispatch, FiresTimersInDeadlineOrderAcrossQueues) {
  test::ManualScheduler s;
  auto a = s.makeQueue("a"), b = s.makeQueue("b");
  std::vector<std::string> log;
  auto ta = a->schedule(0ns, dispatch::seconds(0.5), [&] { log.push_back("a"); });
  auto tb = b->schedule(dispatch::seconds(0.2), 0ns, [&] {
    log.push_back("b");
    a->async([&] { log.push_back("a-task"); });
  });
  s.advance(dispatch::seconds(1.0));
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "a-task", "a", "a"}));
  ta->cancel();
  s.advance(dispatch::seconds(1.0));
  EXPECT_EQ(log.size(), 5u);
}
