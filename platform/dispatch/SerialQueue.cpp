#include "platform/dispatch/Dispatch.h"

#include <pthread.h>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>

namespace tovrelle::dispatch {
namespace {

// Tasks and timers served by one thread. The thread is either owned (serial
// queue) or lent by run() (main loop).
class Engine : public std::enable_shared_from_this<Engine> {
 public:
  explicit Engine(std::string label) : label_(std::move(label)) {}

  struct TimerState : Timer {
    std::weak_ptr<Engine> engine;
    std::atomic<bool> cancelled{false};
    Duration interval{};
    Task handler;
    void cancel() override {
      if (cancelled.exchange(true)) return;
      if (auto e = engine.lock()) e->wake();
    }
    bool isCancelled() const override { return cancelled.load(); }
  };

  const std::string& label() const { return label_; }

  void async(Task task) {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
  }

  std::shared_ptr<Timer> schedule(Duration delay, Duration interval, Task handler) {
    auto timer = std::make_shared<TimerState>();
    timer->engine = weak_from_this();
    timer->interval = interval;
    timer->handler = std::move(handler);
    {
      std::lock_guard lock(mutex_);
      timers_.emplace(Clock::now() + delay, timer);
    }
    cv_.notify_one();
    return timer;
  }

  void wake() { cv_.notify_one(); }

  bool isCurrent() const { return servingThread_.load() == std::this_thread::get_id(); }

  // Serves tasks and timers until stop().
  void serve() {
    servingThread_ = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!tasks_.empty()) {
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        lock.lock();
        continue;
      }
      // Drop cancelled timers, then fire the earliest due one.
      while (!timers_.empty() && timers_.begin()->second->cancelled) timers_.erase(timers_.begin());
      if (timers_.empty()) {
        cv_.wait(lock);
        continue;
      }
      auto due = timers_.begin()->first;
      if (Clock::now() < due) {
        cv_.wait_until(lock, due);
        continue;
      }
      auto timer = timers_.begin()->second;
      timers_.erase(timers_.begin());
      if (timer->interval.count() > 0) {
        // Keep an even cadence: the next deadline follows the previous one,
        // unless we fell more than one period behind.
        auto next = due + timer->interval;
        auto now = Clock::now();
        if (next < now) next = now;
        timers_.emplace(next, timer);
      }
      lock.unlock();
      if (!timer->cancelled) timer->handler();
      if (timer->interval.count() == 0) timer->handler = nullptr;
      lock.lock();
    }
    servingThread_ = std::thread::id();
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::string label_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  std::multimap<Clock::time_point, std::shared_ptr<TimerState>> timers_;
  bool stopping_ = false;
  std::atomic<std::thread::id> servingThread_{};
};

void syncOn(Queue& q, Task task) {
  if (q.isCurrent()) {
    task();
    return;
  }
  std::promise<void> done;
  q.async([&] {
    task();
    done.set_value();
  });
  done.get_future().wait();
}

class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(const std::string& label) : engine_(std::make_shared<Engine>(label)) {
    thread_ = std::thread([engine = engine_, label] {
      pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
      engine->serve();
    });
  }
  ~SerialQueue() override {
    engine_->stop();
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
      } else {
        thread_.join();
      }
    }
  }
  const std::string& label() const override { return engine_->label(); }
  void async(Task task) override { engine_->async(std::move(task)); }
  void sync(Task task) override { syncOn(*this, std::move(task)); }
  std::shared_ptr<Timer> schedule(Duration delay, Duration interval, Task handler) override {
    return engine_->schedule(delay, interval, std::move(handler));
  }
  bool isCurrent() const override { return engine_->isCurrent(); }

 private:
  std::shared_ptr<Engine> engine_;
  std::thread thread_;
};

class MainLoopImpl final : public MainLoop {
 public:
  explicit MainLoopImpl(const std::string& label) : engine_(std::make_shared<Engine>(label)) {}
  const std::string& label() const override { return engine_->label(); }
  void async(Task task) override { engine_->async(std::move(task)); }
  void sync(Task task) override { syncOn(*this, std::move(task)); }
  std::shared_ptr<Timer> schedule(Duration delay, Duration interval, Task handler) override {
    return engine_->schedule(delay, interval, std::move(handler));
  }
  bool isCurrent() const override { return engine_->isCurrent(); }
  void run() override { engine_->serve(); }
  void stop() override { engine_->stop(); }

 private:
  std::shared_ptr<Engine> engine_;
};

}  // namespace

std::shared_ptr<Queue> makeSerialQueue(const std::string& label) { return std::make_shared<SerialQueue>(label); }

std::shared_ptr<MainLoop> MainLoop::create(const std::string& label) { return std::make_shared<MainLoopImpl>(label); }

}  // namespace tovrelle::dispatch
