// The inotify folder watcher on a real folder: which changes it reports, a
// folder removed and made again, refused watches and a stopped watcher. Waits
// for a report are bounded generously; nothing here is timed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/log/Log.h"
#include "platform/watch/inotify/InotifyFolderWatcher.h"
#include "shared/Files.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class InotifyWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovrelle-watch-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder = tmpl;
    log::setSink([this](const log::Record& r) {
      std::lock_guard lock(mutex);
      logLines.push_back(r.message);
    });
  }
  void TearDown() override {
    if (watcher) watcher->stop();
    watcher.reset();
    log::setSink(nullptr);
    std::error_code ec;
    fs::remove_all(folder, ec);
  }

  std::optional<std::string> start(watch::InotifyCalls calls = {}) {
    watcher = watch::makeInotifyFolderWatcher(std::move(calls));
    return watcher->start(folder, {"state.json", "images.json", "heartbeat"}, [this] {
      std::lock_guard lock(mutex);
      ++reports;
      changed.notify_all();
    });
  }
  int reportCount() {
    std::lock_guard lock(mutex);
    return reports;
  }
  // True once more than `seen` reports arrived (at most 20 s).
  bool reportAfter(int seen) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 20s, [&] { return reports > seen; });
  }
  // What a change of an unwatched file would have brought by now.
  bool quietFor(std::chrono::milliseconds wait, int seen) {
    std::this_thread::sleep_for(wait);
    return reportCount() == seen;
  }
  bool logged(const std::string& line) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard lock(mutex);
        if (std::ranges::count(logLines, line) > 0) return true;
      }
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }
  int countLogged(const std::string& line) {
    std::lock_guard lock(mutex);
    return int(std::ranges::count(logLines, line));
  }

  fs::path folder;
  std::shared_ptr<watch::FolderWatcher> watcher;
  std::mutex mutex;
  std::condition_variable changed;
  int reports = 0;
  std::vector<std::string> logLines;
};

TEST_F(InotifyWatch, ReportsWritesRenamesDatesAndRemovalsOfItsFilesOnly) {
  ASSERT_EQ(start(), std::nullopt);

  int seen = reportCount();
  std::ofstream(folder / "other.txt") << "not ours";
  fs::create_directory(folder / "Images");
  EXPECT_TRUE(quietFor(300ms, seen)) << "a file it does not watch";

  // The app's atomic write: a hidden temporary file renamed into place.
  ASSERT_TRUE(writeFileAtomically(folder / "state.json", R"({"mode":"off"})"));
  EXPECT_TRUE(reportAfter(seen)) << "state.json renamed into place";

  seen = reportCount();
  std::ofstream(folder / "images.json") << "[]";
  EXPECT_TRUE(reportAfter(seen)) << "images.json written and closed";

  seen = reportCount();
  const fs::path heartbeat = folder / "heartbeat";
  ::close(::open(heartbeat.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  EXPECT_TRUE(reportAfter(seen)) << "the heartbeat made";
  seen = reportCount();
  ASSERT_EQ(::utimensat(AT_FDCWD, heartbeat.c_str(), nullptr, 0), 0);
  EXPECT_TRUE(reportAfter(seen)) << "the heartbeat touched";

  seen = reportCount();
  const timespec epoch[2] = {{0, 0}, {0, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, heartbeat.c_str(), epoch, 0), 0);
  EXPECT_TRUE(reportAfter(seen)) << "the heartbeat marked stopped";

  seen = reportCount();
  fs::remove(folder / "state.json");
  EXPECT_TRUE(reportAfter(seen)) << "state.json removed";
}

TEST_F(InotifyWatch, AFolderRemovedAndMadeAgainIsWatchedAgain) {
  ASSERT_EQ(start(), std::nullopt);
  int seen = reportCount();
  fs::remove_all(folder);
  EXPECT_TRUE(reportAfter(seen)) << "its files went with it";
  EXPECT_TRUE(logged("folder " + folder.string() + " went away; watching it again once it is back"));

  seen = reportCount();
  fs::create_directory(folder);
  EXPECT_TRUE(reportAfter(seen)) << "files may have been written while it was unwatched";
  EXPECT_TRUE(logged("folder " + folder.string() + " is back; watching it again"));

  seen = reportCount();
  ASSERT_TRUE(writeFileAtomically(folder / "state.json", R"({"mode":"camera"})"));
  EXPECT_TRUE(reportAfter(seen)) << "the new folder is watched";
  EXPECT_EQ(countLogged("folder " + folder.string() + " went away; watching it again once it is back"), 1);
}

TEST_F(InotifyWatch, RefusedWatchesSayWhyAndReportNothing) {
  watch::InotifyCalls full;
  full.addWatch = [](int, const char*, uint32_t) {
    errno = ENOSPC;
    return -1;
  };
  EXPECT_EQ(start(full),
            "cannot watch " + folder.string() + ": the inotify watch limit is reached (fs.inotify.max_user_watches)");
  ASSERT_TRUE(writeFileAtomically(folder / "state.json", R"({"mode":"off"})"));
  EXPECT_TRUE(quietFor(300ms, 0));

  watch::InotifyCalls none;
  none.init = [](int) {
    errno = EMFILE;
    return -1;
  };
  EXPECT_EQ(start(none), "cannot start inotify: the inotify instance limit is reached (fs.inotify.max_user_instances)");

  const fs::path missing = folder / "missing";
  watcher = watch::makeInotifyFolderWatcher();
  EXPECT_EQ(watcher->start(missing, {"state.json"}, [] {}),
            "cannot watch " + missing.string() + ": No such file or directory");
}

// The limit reached only when the folder comes back: said once, and the
// watcher goes on waiting without reporting more.
TEST_F(InotifyWatch, AFolderThatCannotBeWatchedAgainIsSaidOnce) {
  auto refuse = std::make_shared<std::atomic<bool>>(false);
  watch::InotifyCalls calls;
  calls.addWatch = [refuse](int fd, const char* path, uint32_t mask) {
    if (refuse->load()) {
      errno = ENOSPC;
      return -1;
    }
    return ::inotify_add_watch(fd, path, mask);
  };
  ASSERT_EQ(start(calls), std::nullopt);
  refuse->store(true);
  int seen = reportCount();
  fs::remove_all(folder);
  EXPECT_TRUE(reportAfter(seen));
  fs::create_directory(folder);
  const std::string line =
      "cannot watch " + folder.string() + " again: the inotify watch limit is reached (fs.inotify.max_user_watches)";
  EXPECT_TRUE(logged(line));
  std::this_thread::sleep_for(1200ms);  // two more attempts
  EXPECT_EQ(countLogged(line), 1);
}

TEST_F(InotifyWatch, NothingIsReportedOnceStoppedAndItStartsAgain) {
  ASSERT_EQ(start(), std::nullopt);
  watcher->stop();
  ASSERT_TRUE(writeFileAtomically(folder / "state.json", R"({"mode":"off"})"));
  EXPECT_TRUE(quietFor(300ms, 0));

  ASSERT_EQ(watcher->start(folder, {"state.json"},
                           [this] {
                             std::lock_guard lock(mutex);
                             ++reports;
                             changed.notify_all();
                           }),
            std::nullopt);
  ASSERT_TRUE(writeFileAtomically(folder / "state.json", R"({"mode":"camera"})"));
  EXPECT_TRUE(reportAfter(0));
}

}  // namespace
