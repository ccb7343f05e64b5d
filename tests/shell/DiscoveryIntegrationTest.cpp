// Camera discovery against real PipeWire cameras (tovrelle-testcam) on a
// private PipeWire and WirePlumber: cameras appear and vanish, our own camera's
// exact name is left out, and every notification causes exactly one pass
// whose result reaches the main thread in pass order.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "app/model/CameraDeviceManager.h"
#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "platform/dispatch/QtMainQueue.h"
#include "tests/shell/CountingCaptureDevices.h"
#include "tests/shell/EventLoopWait.h"
#include "tests/support/Services.h"

using namespace tovrelle;
using namespace std::chrono_literals;

namespace {

using tovrelle::test::waitUntil;

std::vector<std::string> names(const std::vector<CameraInfo>& cameras) {
  std::vector<std::string> out;
  for (auto& c : cameras) out.push_back(c.name);
  return out;
}

bool has(const std::vector<CameraInfo>& cameras, const std::string& name) {
  return std::any_of(cameras.begin(), cameras.end(), [&](auto& c) { return c.name == name; });
}

std::unique_ptr<test::Process> startCamera(test::PrivateSession& session, const std::string& name,
                                           const std::string& node) {
  return session.spawn({(test::binaryDir() / "tovrelle-testcam").string(), "--name", name, "--node-name", node,
                        "--size", "320x240", "--fps", "10"},
                       {}, node);
}

}  // namespace

TEST(DiscoveryOnPipeWire, CamerasComeAndGoAndOurOwnIsNeverListed) {
  test::PrivateSession session;
  auto deskCam = startCamera(session, "Desk Cam", "desk-cam");

  auto pipewire = capture::makePipeWireCaptureDevices();
  auto devices = std::make_shared<test::CountingCaptureDevices>(pipewire);
  auto manager = std::make_unique<CameraDeviceManager>(
      CameraDeviceManager::Dependencies{devices, dispatch::QtMainQueue::shared(), nullptr});
  std::vector<std::vector<std::string>> published;
  QObject::connect(manager.get(), &CameraDeviceManager::camerasChanged,
                   [&] { published.push_back(names(manager->cameras())); });

  ASSERT_TRUE(waitUntil([&] { return has(manager->cameras(), "Desk Cam"); })) << deskCam->log();
  const CameraInfo desk = *std::find_if(manager->cameras().begin(), manager->cameras().end(),
                                        [](auto& c) { return c.name == "Desk Cam"; });
  EXPECT_FALSE(desk.id.empty());
  EXPECT_FALSE(desk.isContinuity);

  // Our own virtual camera's name is dropped; a longer name that starts with it is kept.
  auto own = startCamera(session, "Tovrelle", "own-cam");
  auto hd = startCamera(session, "Tovrelle HD", "hd-cam");
  ASSERT_TRUE(waitUntil([&] { return has(manager->cameras(), "Tovrelle HD"); })) << hd->log();
  // The capture service does see our camera; discovery leaves it out.
  ASSERT_TRUE(waitUntil([&] {
    auto all = pipewire->devices();
    return std::any_of(all.begin(), all.end(), [](auto& d) { return d.localizedName == "Tovrelle"; });
  }));
  for (const auto& list : published)
    EXPECT_EQ(std::count(list.begin(), list.end(), "Tovrelle"), 0);

  // Unplugged: gone after the pass its notification causes.
  deskCam->stop();
  ASSERT_TRUE(waitUntil([&] { return !has(manager->cameras(), "Desk Cam"); }));
  EXPECT_TRUE(has(manager->cameras(), "Tovrelle HD"));

  // Let everything settle, then compare passes and notifications.
  own->stop();
  hd->stop();
  ASSERT_TRUE(waitUntil([&] { return manager->cameras().empty(); }));
  int settled = -1;
  ASSERT_TRUE(waitUntil([&] {
    const int now = devices->listReads.load();
    const bool quiet = now == settled && static_cast<int>(published.size()) == now;
    settled = now;
    return quiet;
  }, 10s));
  waitUntil([] { return false; }, 500ms);
  // One pass at creation and one per notification.
  EXPECT_EQ(devices->listReads.load(), 1 + devices->notifications.load());
  EXPECT_GE(devices->notifications.load(), 6);  // three cameras came and went

  // What reached the main thread is every pass's result, in the order the passes ran.
  std::vector<std::vector<std::string>> passResults;
  for (const auto& pass : devices->passes()) {
    std::vector<std::string> kept;
    for (const auto& d : pass)
      if (d.localizedName != "Tovrelle") kept.push_back(d.localizedName);
    passResults.push_back(kept);
  }
  EXPECT_EQ(published, passResults);
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
