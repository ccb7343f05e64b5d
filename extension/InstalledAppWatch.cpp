#include "extension/InstalledAppWatch.h"

#include <unistd.h>
#include <cerrno>

namespace tovrelle::extension {

bool InstalledAppWatch::pathExists(const std::filesystem::path& path) {
  if (::access(path.c_str(), F_OK) == 0) return true;
  return errno != ENOENT && errno != ENOTDIR;
}

std::unique_ptr<InstalledAppWatch> InstalledAppWatch::start(std::shared_ptr<dispatch::Queue> queue,
                                                            std::filesystem::path app, std::function<void()> gone,
                                                            dispatch::Duration interval, Exists exists) {
  if (!exists) exists = &InstalledAppWatch::pathExists;
  std::unique_ptr<InstalledAppWatch> watch(new InstalledAppWatch);
  struct State {
    int misses = 0;
    bool reported = false;
  };
  auto state = std::make_shared<State>();
  watch->timer_ = queue->schedule(interval, interval,
                                  [state, app = std::move(app), gone = std::move(gone), exists = std::move(exists)] {
                                    if (state->reported) return;
                                    state->misses = exists(app) ? 0 : state->misses + 1;
                                    if (state->misses < 2) return;
                                    state->reported = true;
                                    gone();
                                  });
  return watch;
}

InstalledAppWatch::~InstalledAppWatch() {
  if (timer_) timer_->cancel();
}

}  // namespace tovrelle::extension
