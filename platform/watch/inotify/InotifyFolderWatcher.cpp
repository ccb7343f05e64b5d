// Thread model: start() and stop() run on the owner's thread; between them one
// thread of this watcher ("tovrelle.watch") owns the inotify descriptor,
// blocks in poll() on it and on a wake-up eventfd, and calls the handler. It
// takes no CPU while nothing changes.
#include "platform/watch/inotify/InotifyFolderWatcher.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/log/Log.h"

namespace tovrelle::watch {
namespace {

const log::Logger& logger() {
  static const log::Logger l("ossel.tovrelle", "FolderWatcher");
  return l;
}

// Files renamed into place, closed after writing, re-dated or removed; the
// folder itself removed or moved. Creation alone is left out: a file is
// read once its writer closed it, never half written.
constexpr uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE | IN_DELETE_SELF |
                           IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

// How often a lost folder is looked for again.
constexpr int kRewatchMillis = 500;

std::string describeError(int code) {
  if (code == ENOSPC) return "the inotify watch limit is reached (fs.inotify.max_user_watches)";
  if (code == EMFILE) return "the inotify instance limit is reached (fs.inotify.max_user_instances)";
  return std::strerror(code);
}

class InotifyFolderWatcher final : public FolderWatcher {
 public:
  explicit InotifyFolderWatcher(InotifyCalls calls) : calls_(std::move(calls)) {
    if (!calls_.init) calls_.init = [](int flags) { return ::inotify_init1(flags); };
    if (!calls_.addWatch)
      calls_.addWatch = [](int fd, const char* path, uint32_t mask) { return ::inotify_add_watch(fd, path, mask); };
  }
  ~InotifyFolderWatcher() override { stop(); }

  std::optional<std::string> start(const std::filesystem::path& folder, std::vector<std::string> names,
                                   Handler changed) override {
    stop();
    errno = 0;
    const int fd = calls_.init(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return "cannot start inotify: " + describeError(errno);
    errno = 0;
    const int wd = calls_.addWatch(fd, folder.c_str(), kMask);
    if (wd < 0) {
      const int code = errno;
      ::close(fd);
      return "cannot watch " + folder.string() + ": " + describeError(code);
    }
    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
      const int code = errno;
      ::close(fd);
      return "cannot start the folder watch: " + describeError(code);
    }
    inotifyFd_ = fd;
    wakeFd_ = wake;
    thread_ = std::thread([this, folder, names = std::move(names), changed = std::move(changed), wd] {
      pthread_setname_np(pthread_self(), "tovrelle.watch");
      serve(folder, names, changed, wd);
    });
    return std::nullopt;
  }

  void stop() override {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(inotifyFd_);
    ::close(wakeFd_);
    inotifyFd_ = wakeFd_ = -1;
  }

 private:
  // The watch thread.
  void serve(const std::filesystem::path& folder, const std::vector<std::string>& names, const Handler& changed,
             int wd) {
    bool lost = false;
    int lostError = 0;  // the last reason a re-watch failed, said once
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
      pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
      const int ready = ::poll(fds, 2, lost ? kRewatchMillis : -1);
      if (ready < 0 && errno != EINTR) {
        logger().error("folder watch of %s ends: %s", folder.c_str(), std::strerror(errno));
        return;
      }
      if (fds[0].revents) return;

      bool relevant = false;
      if (fds[1].revents & POLLIN) {
        for (;;) {
          const ssize_t got = ::read(inotifyFd_, buffer, sizeof buffer);
          if (got <= 0) break;  // EAGAIN: all read
          for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
              relevant = true;  // events were dropped: anything may have changed
            } else if (event->wd != wd) {
              continue;  // a watch given up earlier
            } else if (event->mask & (IN_IGNORED | IN_MOVE_SELF | IN_DELETE_SELF)) {
              // The folder is gone or elsewhere: its files changed with it.
              if (!lost) logger().info("folder %s went away; watching it again once it is back", folder.c_str());
              if (event->mask & IN_MOVE_SELF) ::inotify_rm_watch(inotifyFd_, wd);
              lost = true;
              wd = -1;
              relevant = true;
            } else if (event->len > 0) {
              const std::string_view name(event->name);
              relevant |= std::find(names.begin(), names.end(), name) != names.end();
            }
          }
        }
      }
      if (lost) {
        errno = 0;
        const int again = calls_.addWatch(inotifyFd_, folder.c_str(), kMask);
        if (again >= 0) {
          logger().info("folder %s is back; watching it again", folder.c_str());
          wd = again;
          lost = false;
          lostError = 0;
          relevant = true;  // written while it was unwatched
        } else if (errno != ENOENT && errno != lostError) {
          lostError = errno;
          logger().error("cannot watch %s again: %s", folder.c_str(), describeError(lostError).c_str());
        }
      }
      if (relevant) changed();
    }
  }

  InotifyCalls calls_;
  std::thread thread_;
  int inotifyFd_ = -1;
  int wakeFd_ = -1;
};

}  // namespace

std::shared_ptr<FolderWatcher> makeInotifyFolderWatcher(InotifyCalls calls) {
  return std::make_shared<InotifyFolderWatcher>(std::move(calls));
}

}  // namespace tovrelle::watch
