#pragma once
// Stand-in for the folder watcher: records what is watched and lets a test
// report a change (on the test's thread, as the real one reports on its own)
// or refuse the watch with a reason.
#include <mutex>

#include "platform/watch/FolderWatcher.h"

namespace tovrelle::test {

class FakeFolderWatcher final : public watch::FolderWatcher {
 public:
  std::optional<std::string> start(const std::filesystem::path& folder, std::vector<std::string> names,
                                   Handler changed) override {
    std::lock_guard lock(mutex_);
    ++starts_;
    if (refusal_) return refusal_;
    folder_ = folder;
    names_ = std::move(names);
    handler_ = std::move(changed);
    return std::nullopt;
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    handler_ = nullptr;
  }

  // Reports a change; false when nothing is watching.
  bool reportChange() {
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      handler = handler_;
    }
    if (!handler) return false;
    handler();
    return true;
  }
  // Later starts fail with `reason` (none: they succeed again).
  void refuse(std::optional<std::string> reason) {
    std::lock_guard lock(mutex_);
    refusal_ = std::move(reason);
  }
  bool watching() const {
    std::lock_guard lock(mutex_);
    return handler_ != nullptr;
  }
  std::filesystem::path folder() const {
    std::lock_guard lock(mutex_);
    return folder_;
  }
  std::vector<std::string> names() const {
    std::lock_guard lock(mutex_);
    return names_;
  }
  int starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
  }

 private:
  mutable std::mutex mutex_;
  Handler handler_;
  std::optional<std::string> refusal_;
  std::filesystem::path folder_;
  std::vector<std::string> names_;
  int starts_ = 0;
};

}  // namespace tovrelle::test
