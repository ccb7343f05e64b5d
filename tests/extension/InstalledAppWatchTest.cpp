// The camera service's watch on the app that installed it: the service ends
// once the app's program is gone for good, and not when it is only replaced.
#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "extension/InstalledAppWatch.h"
#include "tests/fakes/ManualDispatch.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class InstalledAppWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovrelle-app-watch-XXXXXX";
    folder = ::mkdtemp(tmpl);
    app = folder / "lib" / "tovrelle-camera-extension";
    fs::create_directories(app.parent_path());
    std::ofstream(app) << "x";
    queue = scheduler.makeQueue("main");
  }
  void TearDown() override { fs::remove_all(folder); }

  void tick() { scheduler.advance(1s); }

  fs::path folder, app;
  test::ManualScheduler scheduler;
  std::shared_ptr<test::ManualQueue> queue;
  int goneCount = 0;
};

TEST_F(InstalledAppWatchTest, EndsOnceTheAppIsRemovedAndStaysQuietWhileItIsThere) {
  auto watch = extension::InstalledAppWatch::start(queue, app, [&] { ++goneCount; });
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(goneCount, 0);

  fs::remove_all(folder / "lib");  // as removing the package does
  tick();
  EXPECT_EQ(goneCount, 0) << "one look is not enough";
  tick();
  EXPECT_EQ(goneCount, 1);
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(goneCount, 1) << "said once";
}

TEST_F(InstalledAppWatchTest, AnUpgradeReplacingTheProgramIsNotARemoval) {
  auto watch = extension::InstalledAppWatch::start(queue, app, [&] { ++goneCount; });
  fs::remove(app);
  tick();
  std::ofstream(app) << "new version";
  tick();
  fs::remove(app);
  tick();
  std::ofstream(app) << "newer version";
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(goneCount, 0);
}

TEST_F(InstalledAppWatchTest, StoppedWatchReportsNothing) {
  auto watch = extension::InstalledAppWatch::start(queue, app, [&] { ++goneCount; });
  watch.reset();
  fs::remove(app);
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(goneCount, 0);
}

TEST_F(InstalledAppWatchTest, APathItMayNotLookAtCountsAsPresent) {
  EXPECT_TRUE(extension::InstalledAppWatch::pathExists(app));
  EXPECT_FALSE(extension::InstalledAppWatch::pathExists(folder / "missing"));
  EXPECT_FALSE(extension::InstalledAppWatch::pathExists(app / "below-a-file"));
  if (::geteuid() != 0) {  // root reads everything
    fs::permissions(app.parent_path(), fs::perms::none);
    EXPECT_TRUE(extension::InstalledAppWatch::pathExists(app));
    fs::permissions(app.parent_path(), fs::perms::owner_all);
  }
}

}  // namespace
