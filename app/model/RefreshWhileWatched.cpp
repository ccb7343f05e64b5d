#include "app/model/RefreshWhileWatched.h"

namespace tovrelle {

struct RefreshWhileWatched::State {
  std::shared_ptr<dispatch::Queue> queue;
  dispatch::Duration interval;
  std::function<void()> refresh;
  int watchers = 0;
  std::shared_ptr<dispatch::Timer> timer;

  ~State() {
    if (timer) timer->cancel();
  }
  void unwatch() {
    if (--watchers > 0) return;
    watchers = 0;
    if (timer) timer->cancel();
    timer.reset();
  }
};

RefreshWhileWatched::RefreshWhileWatched(std::shared_ptr<dispatch::Queue> queue, dispatch::Duration interval,
                                         std::function<void()> refresh)
    : state_(std::make_shared<State>()) {
  state_->queue = std::move(queue);
  state_->interval = interval;
  state_->refresh = std::move(refresh);
}

std::shared_ptr<void> RefreshWhileWatched::watch() {
  std::weak_ptr<State> weak = state_;
  if (state_->watchers++ == 0) {
    state_->refresh();
    if (state_->queue)
      state_->timer = state_->queue->schedule(state_->interval, state_->interval, [weak] {
        if (auto s = weak.lock()) s->refresh();
      });
  }
  // The token owns nothing; dropping it only counts down.
  return std::shared_ptr<void>(static_cast<void*>(state_.get()), [weak](void*) {
    if (auto s = weak.lock()) s->unwatch();
  });
}

}  // namespace tovrelle
