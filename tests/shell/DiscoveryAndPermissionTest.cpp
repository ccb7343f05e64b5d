// Camera discovery and camera permission on the fake capture service, with
// manual queues: every pass and every main-queue delivery is stepped by hand.
#include "tests/shell/PopoverFixture.h"
#include "tests/shell/QtTestApp.h"

using namespace tovrelle;

namespace {

std::vector<std::string> names(const std::vector<CameraInfo>& cameras) {
  std::vector<std::string> out;
  for (auto& c : cameras) out.push_back(c.name);
  return out;
}

using CameraDiscovery = test::PopoverFixture;
using CameraPermissionTest = test::PopoverFixture;

}  // namespace

TEST_F(CameraDiscovery, FirstPassRunsOnTheDiscoveryQueueAndPublishesOnMain) {
  capture_->addDevice("usb-1", "Integrated Camera");
  capture_->addDevice("v-1", "Tovrelle");
  capture_->addDevice("usb-2", "Tovrelle HD");
  capture_->addDevice("usb-3", "tovrelle");
  int published = 0;
  QObject::connect(&devices(), &CameraDeviceManager::camerasChanged, [&] { ++published; });

  EXPECT_TRUE(devices().cameras().empty());  // nothing until the first pass finished
  EXPECT_EQ(discovery_->pendingCount(), 1u);
  discovery_->drain();
  EXPECT_TRUE(devices().cameras().empty());  // the result is still on its way to the main queue
  main_->drain();
  // Only the exact name of our own camera is dropped; the order is the service's.
  EXPECT_EQ(names(devices().cameras()), (std::vector<std::string>{"Integrated Camera", "Tovrelle HD", "tovrelle"}));
  EXPECT_EQ(devices().cameras()[0], (CameraInfo{"usb-1", "Integrated Camera"}));
  EXPECT_EQ(published, 1);
}

TEST_F(CameraDiscovery, EachNotificationRunsOnePassAndResultsArriveInPassOrder) {
  std::vector<std::vector<std::string>> seen;
  QObject::connect(&devices(), &CameraDeviceManager::camerasChanged,
                   [&] { seen.push_back(names(devices().cameras())); });
  scheduler_.drainAll();
  EXPECT_EQ(seen, (std::vector<std::vector<std::string>>{{}}));  // an empty machine publishes an empty list

  capture_->addDevice("a", "Cam A");
  capture_->addDevice("b", "Cam B");
  capture_->removeDevice("a");
  EXPECT_EQ(discovery_->pendingCount(), 3u);
  // Each pass sees the list as it is when it runs.
  discovery_->drain();
  main_->drain();
  EXPECT_EQ(seen, (std::vector<std::vector<std::string>>{{}, {"Cam B"}, {"Cam B"}, {"Cam B"}}));

  // Passes interleaved with main turns keep their order too.
  capture_->addDevice("c", "Cam C");
  discovery_->drain();
  capture_->removeDevice("b");
  discovery_->drain();
  main_->drain();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[4], (std::vector<std::string>{"Cam B", "Cam C"}));
  EXPECT_EQ(seen[5], (std::vector<std::string>{"Cam C"}));
}

TEST_F(CameraDiscovery, AManagerThatIsGoneIsNeitherRefreshedNorUpdated) {
  devices();
  scheduler_.drainAll();
  capture_->addDevice("a", "Cam A");  // one pass queued
  discovery_->drain();                // its result is queued on main
  capture_->addDevice("b", "Cam B");  // another pass queued
  devices_.reset();
  scheduler_.drainAll();  // the pending work finds the manager gone
  // And it no longer listens for notifications.
  capture_->addDevice("c", "Cam C");
  EXPECT_EQ(discovery_->pendingCount(), 0u);
}

TEST_F(CameraPermissionTest, OpensTheCameraAccessPage) {
  permission().openCameraPrivacySettings();
  EXPECT_EQ(opener_->opened, (std::vector<std::string>{urls::kCameraPrivacySettingsURL}));
}
