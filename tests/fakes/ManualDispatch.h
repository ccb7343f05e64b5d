#pragma once
// Deterministic stand-in for the dispatch layer: queues run their tasks only
// when the test says so, and timers fire as the test advances a shared clock.
#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace tovrelle::test {

class ManualScheduler;

class ManualQueue final : public dispatch::Queue {
 public:
  ManualQueue(std::string label, ManualScheduler* scheduler) : label_(std::move(label)), scheduler_(scheduler) {}

  struct TimerState : dispatch::Timer {
    dispatch::Clock::time_point due;
    dispatch::Duration interval{};
    dispatch::Task handler;
    bool cancelled = false;
    void cancel() override { cancelled = true; }
    bool isCancelled() const override { return cancelled; }
  };

  const std::string& label() const override { return label_; }
  void async(dispatch::Task task) override { pending_.push_back(std::move(task)); }
  void sync(dispatch::Task task) override {
    bool was = current_;
    current_ = true;
    task();
    current_ = was;
  }
  std::shared_ptr<dispatch::Timer> schedule(dispatch::Duration delay, dispatch::Duration interval,
                                            dispatch::Task handler) override;
  bool isCurrent() const override { return current_; }
  dispatch::Clock::time_point now() const override;

  // Runs queued tasks (including ones they queue) until none is left.
  size_t drain() {
    size_t n = 0;
    while (!pending_.empty()) {
      auto task = std::move(pending_.front());
      pending_.pop_front();
      sync(std::move(task));
      ++n;
    }
    return n;
  }
  size_t pendingCount() const { return pending_.size(); }
  size_t liveTimerCount() const {
    return static_cast<size_t>(std::count_if(timers_.begin(), timers_.end(), [](auto& t) { return !t->cancelled; }));
  }

 private:
  friend class ManualScheduler;
  std::string label_;
  ManualScheduler* scheduler_;
  std::deque<dispatch::Task> pending_;
  std::vector<std::shared_ptr<TimerState>> timers_;
  bool current_ = false;
};

class ManualScheduler {
 public:
  std::shared_ptr<ManualQueue> makeQueue(const std::string& label) {
    auto q = std::make_shared<ManualQueue>(label, this);
    queues_.push_back(q);
    return q;
  }

  dispatch::Clock::time_point now() const { return now_; }

  // Runs every queue's pending tasks until all are idle.
  void drainAll() {
    bool any = true;
    while (any) {
      any = false;
      for (auto& weak : queues_)
        if (auto q = weak.lock()) any |= q->drain() > 0;
    }
  }

  // Moves time forward, firing due timers in deadline order and draining the
  // queues after each firing.
  void advance(dispatch::Duration d) {
    const auto target = now_ + d;
    drainAll();
    for (;;) {
      std::shared_ptr<ManualQueue> queue;
      std::shared_ptr<ManualQueue::TimerState> next;
      for (auto& weak : queues_) {
        auto q = weak.lock();
        if (!q) continue;
        for (auto& t : q->timers_) {
          if (t->cancelled || t->due > target) continue;
          if (!next || t->due < next->due) {
            next = t;
            queue = q;
          }
        }
      }
      if (!next) break;
      now_ = std::max(now_, next->due);
      if (next->interval.count() > 0) {
        next->due += next->interval;
      } else {
        next->cancelled = true;
      }
      // Run the stored handler itself so state it keeps between firings survives.
      queue->sync([next] { next->handler(); });
      std::erase_if(queue->timers_, [](auto& t) { return t->cancelled; });
      drainAll();
    }
    now_ = target;
  }

 private:
  dispatch::Clock::time_point now_{std::chrono::hours(1000)};
  std::vector<std::weak_ptr<ManualQueue>> queues_;
};

inline std::shared_ptr<dispatch::Timer> ManualQueue::schedule(dispatch::Duration delay, dispatch::Duration interval,
                                                              dispatch::Task handler) {
  auto t = std::make_shared<TimerState>();
  t->due = scheduler_->now() + delay;
  t->interval = interval;
  t->handler = std::move(handler);
  timers_.push_back(t);
  return t;
}

inline dispatch::Clock::time_point ManualQueue::now() const { return scheduler_->now(); }

}  // namespace tovrelle::test
