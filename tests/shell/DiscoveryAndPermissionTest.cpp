// Camera discovery and camera permission on the fake capture service, with
// manual queues: every pass and every main-queue delivery is stepped by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraPermission.h"
#include "app/model/HostServices.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/ManualDispatch.h"
#include "tests/shell/RecordingOpener.h"

using namespace tovrelle;
using capture::AuthorizationStatus;
using capture::DeviceType;

namespace {

// The fake capture service, counting the device-list reads (one per discovery pass).
class CountingCaptureDevices final : public capture::CaptureDevices {
 public:
  explicit CountingCaptureDevices(std::shared_ptr<capture::CaptureDevices> inner) : inner_(std::move(inner)) {}
  std::atomic<int> listReads{0};

  std::vector<capture::DeviceInfo> devices() override {
    ++listReads;
    return inner_->devices();
  }
  std::optional<capture::DeviceInfo> deviceWithUniqueId(const std::string& id) override {
    return inner_->deviceWithUniqueId(id);
  }
  std::unique_ptr<capture::Subscription> subscribe(
      std::function<void(capture::DeviceEvent, const capture::DeviceInfo&)> handler) override {
    return inner_->subscribe(std::move(handler));
  }
  capture::AuthorizationStatus authorizationStatus() override { return inner_->authorizationStatus(); }
  void requestAccess(std::function<void(bool)> completion) override { inner_->requestAccess(std::move(completion)); }
  capture::InputResult makeInput(const capture::DeviceInfo& d) override { return inner_->makeInput(d); }
  std::unique_ptr<capture::CaptureSession> makeSession() override { return inner_->makeSession(); }

 private:
  std::shared_ptr<capture::CaptureDevices> inner_;
};

struct DiscoveryRig {
  test::ManualScheduler scheduler;
  std::shared_ptr<test::ManualQueue> main = scheduler.makeQueue("main");
  std::shared_ptr<test::ManualQueue> discovery = scheduler.makeQueue(CameraDeviceManager::kDiscoveryQueueLabel);
  std::shared_ptr<test::FakeCaptureDevices> fake = std::make_shared<test::FakeCaptureDevices>();
  std::shared_ptr<CountingCaptureDevices> devices = std::make_shared<CountingCaptureDevices>(fake);

  std::unique_ptr<CameraDeviceManager> make() {
    return std::make_unique<CameraDeviceManager>(CameraDeviceManager::Dependencies{devices, main, discovery});
  }
};

std::vector<std::string> names(const std::vector<CameraInfo>& cameras) {
  std::vector<std::string> out;
  for (auto& c : cameras) out.push_back(c.name);
  return out;
}

}  // namespace

TEST(CameraDiscovery, FirstPassRunsOnTheDiscoveryQueueAndPublishesOnMain) {
  DiscoveryRig rig;
  rig.fake->addDevice("usb-1", "Integrated Camera", DeviceType::builtInWideAngleCamera);
  rig.fake->addDevice("v-1", "Tovrelle");
  rig.fake->addDevice("usb-2", "Tovrelle HD");
  rig.fake->addDevice("usb-3", "tovrelle");
  auto manager = rig.make();
  int published = 0;
  QObject::connect(manager.get(), &CameraDeviceManager::camerasChanged, [&] { ++published; });

  EXPECT_TRUE(manager->cameras().empty());  // nothing until the first pass finished
  EXPECT_EQ(rig.discovery->pendingCount(), 1u);
  EXPECT_EQ(rig.devices->listReads, 0);
  rig.discovery->drain();
  EXPECT_EQ(rig.devices->listReads, 1);
  EXPECT_TRUE(manager->cameras().empty());  // the result is still on its way to the main queue
  rig.main->drain();
  // Only the exact name of our own camera is dropped; the order is the service's.
  EXPECT_EQ(names(manager->cameras()), (std::vector<std::string>{"Integrated Camera", "Tovrelle HD", "tovrelle"}));
  EXPECT_EQ(manager->cameras()[0], (CameraInfo{"usb-1", "Integrated Camera", false}));
  EXPECT_EQ(published, 1);
}

TEST(CameraDiscovery, EachNotificationRunsOnePassAndResultsArriveInPassOrder) {
  DiscoveryRig rig;
  auto manager = rig.make();
  std::vector<std::vector<std::string>> seen;
  QObject::connect(manager.get(), &CameraDeviceManager::camerasChanged, [&] { seen.push_back(names(manager->cameras())); });
  rig.scheduler.drainAll();
  EXPECT_EQ(seen, (std::vector<std::vector<std::string>>{{}}));  // an empty machine publishes an empty list

  rig.fake->addDevice("a", "Cam A");
  rig.fake->addDevice("b", "Cam B");
  rig.fake->removeDevice("a");
  EXPECT_EQ(rig.discovery->pendingCount(), 3u);
  // Run the passes one at a time: each sees the list as it is when it runs.
  rig.discovery->drain();
  EXPECT_EQ(rig.devices->listReads, 4);
  rig.main->drain();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[1], (std::vector<std::string>{"Cam B"}));
  EXPECT_EQ(seen[3], (std::vector<std::string>{"Cam B"}));

  // Passes interleaved with main turns keep their order too.
  rig.fake->addDevice("c", "Cam C");
  rig.discovery->drain();
  rig.fake->removeDevice("b");
  rig.discovery->drain();
  rig.main->drain();
  EXPECT_EQ(seen[4], (std::vector<std::string>{"Cam B", "Cam C"}));
  EXPECT_EQ(seen[5], (std::vector<std::string>{"Cam C"}));
}

TEST(CameraDiscovery, AManagerThatIsGoneIsNeitherRefreshedNorUpdated) {
  DiscoveryRig rig;
  auto manager = rig.make();
  rig.scheduler.drainAll();
  rig.fake->addDevice("a", "Cam A");  // one pass queued
  rig.discovery->drain();             // its result is queued on main
  rig.fake->addDevice("b", "Cam B");  // another pass queued
  const int readsBefore = rig.devices->listReads;
  manager.reset();
  rig.scheduler.drainAll();  // the pending work finds the manager gone
  EXPECT_EQ(rig.devices->listReads, readsBefore);
  // And it no longer listens for notifications.
  rig.fake->addDevice("c", "Cam C");
  EXPECT_EQ(rig.discovery->pendingCount(), 0u);
}

namespace {

struct PermissionRig {
  std::shared_ptr<test::FakeCaptureDevices> fake = std::make_shared<test::FakeCaptureDevices>();
  std::shared_ptr<test::RecordingOpener> opener = std::make_shared<test::RecordingOpener>();
};

}  // namespace

TEST(CameraPermission, RefreshesWhenTheAppBecomesActive) {
  PermissionRig rig;
  rig.fake->setAuthorizationStatus(AuthorizationStatus::authorized);
  CameraPermission permission({rig.fake, rig.opener});
  int changes = 0;
  QObject::connect(&permission, &CameraPermission::statusChanged, [&] { ++changes; });
  host::ApplicationEvents::center().postDidBecomeActive();
  EXPECT_EQ(changes, 0);
  // The user turned camera access off in the settings, then came back to the app.
  rig.fake->setAuthorizationStatus(AuthorizationStatus::denied);
  EXPECT_EQ(permission.status(), AuthorizationStatus::authorized);
  host::ApplicationEvents::center().postDidBecomeActive();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(permission.status(), AuthorizationStatus::denied);
}

TEST(CameraPermission, SettingsPagesWithTheirFallback) {
  PermissionRig rig;
  CameraPermission permission({rig.fake, rig.opener});
  permission.openCameraPrivacySettings();
  permission.openExtensionSettings();
  EXPECT_EQ(rig.opener->opened, (std::vector<std::string>{urls::kCameraPrivacySettingsURL,
                                                          urls::kLoginItemsExtensionSettingsURL}));
  // The login-items page cannot be opened here: the camera privacy page is opened instead.
  rig.opener->opened.clear();
  rig.opener->refused = {urls::kLoginItemsExtensionSettingsURL};
  permission.openExtensionSettings();
  EXPECT_EQ(rig.opener->opened, (std::vector<std::string>{urls::kLoginItemsExtensionSettingsURL,
                                                          urls::kCameraPrivacySettingsURL}));
}
