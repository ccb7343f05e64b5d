#pragma once
// Change notifications for a few files of one folder. The camera extension
// learns of a new choice from these at once; its poll stays as the safety net
// for file systems and situations without notifications. Model code includes
// only this header; the inotify backend and the test fake implement it.
// Thread-bound (the thread that starts it): start() and stop(). The handler
// runs on the watcher's own thread.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovrelle::watch {

class FolderWatcher {
 public:
  // Called on the watcher's own thread; it must only hand the news on.
  using Handler = std::function<void()>;

  virtual ~FolderWatcher() = default;

  // Starts reporting: `changed` runs after a batch of changes touching one of
  // `names` inside `folder` (written, renamed into place, dated, removed), and
  // when the folder itself goes away or comes back. Several changes may be
  // reported once. A running watch is stopped first. Returns why
  // notifications are unavailable, or none when they work.
  virtual std::optional<std::string> start(const std::filesystem::path& folder, std::vector<std::string> names,
                                           Handler changed) = 0;

  // No call of the handler begins after this returns. Never call it from the
  // handler itself.
  virtual void stop() = 0;
};

}  // namespace tovrelle::watch
