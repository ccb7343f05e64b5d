#pragma once
// The folder watcher on Linux inotify.
// Thread-bound (the thread that starts it): start(), stop() and the
// descriptors. The watch thread reads the descriptors and the kernel calls
// only between start() and stop(), which wakes and joins it.
#include <functional>
#include <memory>

#include "platform/watch/FolderWatcher.h"

namespace tovrelle::watch {

// The kernel calls the backend makes to set a watch up; tests replace them to
// see a refused watch (the per-user watch limit reached, no inotify at all).
struct InotifyCalls {
  std::function<int(int flags)> init;
  std::function<int(int fd, const char* path, uint32_t mask)> addWatch;
};

// Unset calls are the real ones.
std::shared_ptr<FolderWatcher> makeInotifyFolderWatcher(InotifyCalls calls = {});

}  // namespace tovrelle::watch
