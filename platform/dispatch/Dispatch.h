#pragma once
// A small dispatch layer: named serial queues, a main queue driven by the
// process's main loop, and one-shot or repeating timers on any queue.
// Model code depends on this interface only; tests drive a manual fake.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace tovrelle::dispatch {

using Clock = std::chrono::steady_clock;
using Duration = std::chrono::nanoseconds;
using Task = std::function<void()>;

inline constexpr Duration seconds(double s) {
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}

// A scheduled timer. Cancelling is idempotent, and a cancelled timer never
// fires again (a firing already running on its queue finishes).
// Thread-safe: cancel from any thread.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;
};

// A serial queue: its tasks and timer firings run one at a time, in order.
// Thread-safe: tasks and timers may be added from any thread.
class Queue {
 public:
  virtual ~Queue() = default;
  virtual const std::string& label() const = 0;
  virtual void async(Task task) = 0;
  // Runs the task on the queue and waits; runs inline when already on it.
  virtual void sync(Task task) = 0;
  // First firing after `delay`; repeats every `interval` unless it is zero.
  virtual std::shared_ptr<Timer> schedule(Duration delay, Duration interval, Task handler) = 0;
  virtual bool isCurrent() const = 0;
  virtual Clock::time_point now() const { return Clock::now(); }
};

// A queue with its own thread, named after the label (truncated to 15 chars).
// Thread-safe; the thread owns the tasks, the timers and their order, under
// the queue's lock, and is joined when the last reference goes.
std::shared_ptr<Queue> makeSerialQueue(const std::string& label);

// The main queue of a process that has no other event loop: run() serves it on
// the calling thread until stop(). Thread-safe like any queue; stop() may
// come from any thread.
class MainLoop : public Queue {
 public:
  static std::shared_ptr<MainLoop> create(const std::string& label = "main");
  virtual void run() = 0;
  virtual void stop() = 0;
};

// Wraps `fn` so that it runs only while `owner` still exists.
template <typename T, typename Fn>
Task weakly(const std::shared_ptr<T>& owner, Fn fn) {
  std::weak_ptr<T> weak = owner;
  return [weak, fn = std::move(fn)]() mutable {
    if (auto strong = weak.lock()) fn(*strong);
  };
}

}  // namespace tovrelle::dispatch
