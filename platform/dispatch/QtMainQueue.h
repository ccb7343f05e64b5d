#pragma once
// The host app's main queue: tasks and timers run on the Qt event loop of the
// main thread, so model objects can use the same dispatch interface as the
// extension (and a manual fake in tests).
// Thread-safe: tasks, syncs and timers may come from any thread; they run on
// the main thread, and their Qt timers live there.
#include <QObject>

#include "platform/dispatch/Dispatch.h"

namespace tovrelle::dispatch {

class QtMainQueue final : public Queue {
 public:
  // Tasks run on the thread of the running QCoreApplication; main() makes
  // one and hands it to the objects that need it.
  const std::string& label() const override { return label_; }
  void async(Task task) override;
  void sync(Task task) override;
  std::shared_ptr<Timer> schedule(Duration delay, Duration interval, Task handler) override;
  bool isCurrent() const override;

 private:
  std::string label_ = "main";
};

}  // namespace tovrelle::dispatch
