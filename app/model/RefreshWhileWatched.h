#pragma once
// A status that is looked at again every `interval`, but only while some
// window shows it: a window takes a token from watch() and drops it when it
// closes. The first token looks at once.
// Thread-bound (the thread of the queue it is given): watch(), dropping a
// token and the refresh all happen there.
#include <functional>
#include <memory>

#include "platform/dispatch/Dispatch.h"

namespace tovrelle {

class RefreshWhileWatched {
 public:
  // No queue: looks once per first watch, never on a timer.
  RefreshWhileWatched(std::shared_ptr<dispatch::Queue> queue, dispatch::Duration interval,
                      std::function<void()> refresh);
  std::shared_ptr<void> watch();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tovrelle
