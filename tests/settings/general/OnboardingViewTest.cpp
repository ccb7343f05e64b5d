// The first-run window on the fake installer, a fake capture service and a
// scripted URL opener: the step table under each installer status, the
// camera step and its once-a-second poll, checking the camera service again,
// and the ways the window ends onboarding.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <thread>

#include "app/model/LoginItemManager.h"
#include "app/settings/VideoDeviceView.h"
#include "app/shell/OnboardingView.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/FakeVideoDevices.h"
#include "tests/settings/general/WindowsTestSupport.h"

using namespace tovrelle;
using namespace std::chrono_literals;
using capture::AuthorizationStatus;
using Case = CameraServiceInstaller::Status::Case;

namespace {

class OnboardingTest : public ::testing::Test {
 protected:
  void SetUp() override { capture->setAuthorizationStatus(AuthorizationStatus::notDetermined); }

  OnboardingView& shown(VideoDeviceStatus* videoDevice = nullptr) {
    auto alert = [this](QWidget*, const QString& message, const QString&) { alerts.push_back(message); };
    view = std::make_unique<OnboardingView>(
        OnboardingView::Environment{rig.installer.get(), capture, opener, rig.main, alert, videoDevice},
        [this] { ++closes; });
    view->show();
    rig.run();
    return *view;
  }

  bool actionShown(int step) const {
    QWidget* control = view->step(step)->action();
    return control && control->isVisibleTo(view.get());
  }

  test::InstallerRig rig;
  std::shared_ptr<test::FakeCaptureDevices> capture = std::make_shared<test::FakeCaptureDevices>();
  std::shared_ptr<test::ScriptedOpener> opener = std::make_shared<test::ScriptedOpener>();
  std::vector<QString> alerts;
  int closes = 0;
  std::unique_ptr<OnboardingView> view;
};

TEST_F(OnboardingTest, StepsFollowTheInstallerStatusLive) {
  struct Row {
    Case status;
    bool step1Complete, step1Enabled, step2Complete;
  };
  OnboardingView& v = shown();
  // In this order, so the last row also shows completed steps falling back.
  for (const Row& row : {Row{Case::notInstalled, false, true, false}, Row{Case::starting, false, false, false},
                         Row{Case::running, true, false, true}, Row{Case::failed, false, true, false}}) {
    SCOPED_TRACE(static_cast<int>(row.status));
    rig.reach(row.status);
    EXPECT_EQ(v.step(1)->isComplete(), row.step1Complete);
    EXPECT_EQ(v.stepButton(1)->isEnabled(), row.step1Enabled);
    EXPECT_EQ(v.step(2)->isComplete(), row.step2Complete);
    EXPECT_TRUE(v.stepButton(2)->isEnabled()) << "checking is always possible";
    EXPECT_TRUE(actionShown(1));
    EXPECT_TRUE(actionShown(2));
  }
}

TEST_F(OnboardingTest, InstallButtonActivatesWithoutForceAndIsEnabledAgainAfterAFailure) {
  OnboardingView& v = shown();
  const size_t before = rig.service->installCount();
  QTest::mouseClick(v.stepButton(1), Qt::LeftButton);
  EXPECT_EQ(rig.status(), Case::starting);
  EXPECT_EQ(rig.service->installCount(), before + 1);
  EXPECT_FALSE(v.stepButton(1)->isEnabled());
  EXPECT_FALSE(v.step(1)->isComplete());

  rig.service->fail(rig.service->lastInstall(), userservice::kErrorValidationFailed);
  rig.run();
  EXPECT_EQ(rig.status(), Case::failed);
  EXPECT_TRUE(v.stepButton(1)->isEnabled());
  EXPECT_FALSE(v.step(1)->isComplete());

  rig.service->scriptNextInstall(test::FakeCameraService::succeed());
  QTest::mouseClick(v.stepButton(1), Qt::LeftButton);
  rig.run();
  EXPECT_TRUE(v.step(1)->isComplete());
  EXPECT_TRUE(v.step(2)->isComplete());
  EXPECT_FALSE(v.stepButton(1)->isEnabled());
}

TEST_F(OnboardingTest, AskingForAccessWhenUndecidedTakesTheAnswerOnTheMainQueue) {
  capture->setAccessAnswer(std::nullopt);  // the system prompt stays up
  OnboardingView& v = shown();
  QTest::mouseClick(v.stepButton(3), Qt::LeftButton);
  EXPECT_EQ(capture->accessRequestCount(), 1);
  EXPECT_TRUE(opener->attempts.empty());

  // The answer arrives on another thread; nothing changes until the main queue runs.
  std::thread answer([this] { capture->answerPendingRequests(true); });
  answer.join();
  EXPECT_FALSE(v.cameraAuthorized());
  rig.main->drain();
  EXPECT_TRUE(v.cameraAuthorized());
  EXPECT_TRUE(v.step(3)->isComplete());
  EXPECT_FALSE(actionShown(3));
}

TEST_F(OnboardingTest, RefusedAccessKeepsTheStepOpenAndItsButtonThenOpensTheCameraPrivacyPage) {
  capture->setAccessAnswer(false);
  OnboardingView& v = shown();
  QTest::mouseClick(v.stepButton(3), Qt::LeftButton);
  rig.run();
  EXPECT_FALSE(v.step(3)->isComplete());
  EXPECT_TRUE(actionShown(3));
  EXPECT_TRUE(opener->attempts.empty());

  QTest::mouseClick(v.stepButton(3), Qt::LeftButton);
  EXPECT_EQ(capture->accessRequestCount(), 1) << "a decided status is not asked again";
  EXPECT_EQ(opener->attempts, std::vector<std::string>{urls::kCameraPrivacySettingsURL});
}

TEST_F(OnboardingTest, AGrantInTheSystemSettingsShowsWithinASecondWhileTheWindowIsUp) {
  OnboardingView& v = shown();
  EXPECT_TRUE(v.isPolling());
  rig.scheduler.advance(2500ms);
  EXPECT_FALSE(v.step(3)->isComplete());

  capture->setAuthorizationStatus(AuthorizationStatus::authorized);
  rig.scheduler.advance(400ms);  // the next tick is at 3.0 s
  EXPECT_FALSE(v.step(3)->isComplete()) << "the poll, not a notification, finds the change";
  rig.scheduler.advance(600ms);
  EXPECT_TRUE(v.step(3)->isComplete());
  EXPECT_FALSE(actionShown(3));

  // Taken back in the settings: the step opens again at the next tick.
  capture->setAuthorizationStatus(AuthorizationStatus::denied);
  rig.scheduler.advance(1000ms);
  EXPECT_FALSE(v.step(3)->isComplete());
  EXPECT_TRUE(actionShown(3));
}

TEST_F(OnboardingTest, CheckAgainLooksAtOnceAndShowsWhatItFound) {
  OnboardingView& v = shown();
  EXPECT_TRUE(v.checkResultLabel()->text().isEmpty()) << "nothing to say before the first look";
  rig.scheduler.advance(2s);  // past the display throttle of the look on showing

  // Nothing installed: the answer says so beside the button.
  rig.service->scriptNextLook(test::FakeCameraService::found(test::FakeCameraService::nothing()));
  QTest::mouseClick(v.stepButton(2), Qt::LeftButton);
  EXPECT_EQ(v.checkResultLabel()->text(), qtTrId("onboarding.step2.checking"));
  EXPECT_FALSE(v.stepButton(2)->isEnabled());
  rig.run();
  EXPECT_EQ(v.checkResultLabel()->text(), qtTrId("serviceStatus.idle"));
  EXPECT_TRUE(v.stepButton(2)->isEnabled());

  // Checked again at once, without the display throttle: the camera is there.
  rig.service->scriptNextLook(test::FakeCameraService::found(test::FakeCameraService::copy("1.0", "1", true)));
  QTest::mouseClick(v.stepButton(2), Qt::LeftButton);
  rig.run();
  EXPECT_TRUE(v.step(2)->isComplete());
  EXPECT_EQ(v.checkResultLabel()->text(), qtTrId("onboarding.step2.available"));

  // A check that cannot tell ends in an alert; the window stays.
  test::ProcessLog log;
  rig.service->scriptNextLook(test::FakeCameraService::fail(userservice::kErrorRefused));
  QTest::mouseClick(v.stepButton(2), Qt::LeftButton);
  rig.run();
  EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "[Onboarding] The camera service check got no answer"), 1);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0], qtTrId("onboarding.openSettingsFailed.title"));
  EXPECT_TRUE(v.stepButton(2)->isEnabled());
  EXPECT_EQ(closes, 0);
  EXPECT_TRUE(opener->attempts.empty()) << "no settings page is opened";
}

TEST_F(OnboardingTest, DoneAndTheReturnKeyCallOnCloseWhateverIsComplete) {
  OnboardingView& v = shown();
  QTest::mouseClick(v.doneButton(), Qt::LeftButton);
  EXPECT_EQ(closes, 1);

  QApplication::setActiveWindow(&v);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&v));
  v.stepButton(2)->setFocus();
  QTest::keyClick(v.stepButton(2), Qt::Key_Return);
  EXPECT_EQ(closes, 2) << "Return reaches the default button even from another control";
  EXPECT_TRUE(opener->attempts.empty());
}

// Step 2 also tells whether apps that only use /dev/video see the camera,
// and loads the module from there; the step's tick stays the PipeWire camera's.
TEST_F(OnboardingTest, StepTwoShowsTheVideoDeviceAndLoadsTheModule) {
  auto devices = std::make_shared<test::FakeVideoDevices>(rig.main);
  devices->report = test::video_reports::notLoaded();
  VideoDeviceStatus video({devices, rig.main});
  OnboardingView& v = shown(&video);
  settings::VideoDeviceView* row = v.videoDeviceView();
  ASSERT_TRUE(row);
  EXPECT_TRUE(row->isVisibleTo(&v));
  EXPECT_TRUE(row->textLabel()->text().contains("administrator password once"))
      << row->textLabel()->text().toStdString();
  ASSERT_TRUE(row->loadButton()->isVisible());
  EXPECT_TRUE(v.stepButton(2)->isVisible()) << "checking again stays where it was";

  QTest::mouseClick(row->loadButton(), Qt::LeftButton);
  devices->report = test::video_reports::streaming("/dev/video6", videodevice::ServiceOutput::ready);
  devices->finishLoad(videodevice::LoadOutcome::loaded);
  rig.run();
  EXPECT_TRUE(row->textLabel()->text().contains("find the camera at /dev/video6"))
      << row->textLabel()->text().toStdString();
  EXPECT_FALSE(row->loadButton()->isVisible());
  EXPECT_FALSE(v.step(2)->isComplete()) << "the PipeWire camera is not published yet";
  rig.reach(Case::running);
  EXPECT_TRUE(v.step(2)->isComplete());
}

// Starting at login is a step of its own: on when the setup first shows it,
// one click turns it off, and a later setup leaves the user's "off" alone.
TEST_F(OnboardingTest, StartingAtLoginIsOnByDefaultAndOneClickTurnsItOff) {
  auto service = std::make_shared<test::MemoryLoginItemService>();
  LoginItemManager loginItem(service);
  auto make = [&](bool byDefault) {
    OnboardingView::Environment e{rig.installer.get(), capture, opener, rig.main, {}, nullptr};
    e.loginItem = &loginItem;
    e.startAtLoginByDefault = byDefault;
    view = std::make_unique<OnboardingView>(e, [] {});
    view->show();
    rig.run();
  };
  make(true);
  EXPECT_EQ(service->current, loginitem::Status::enabled);
  ASSERT_TRUE(view->startAtLoginBox());
  EXPECT_TRUE(view->startAtLoginBox()->isChecked());
  EXPECT_EQ(view->startAtLoginBox()->text(), QStringLiteral("Start Tovrelle at login"));
  EXPECT_EQ(view->step(4)->titleLabel()->text(), QStringLiteral("Keep the camera working after you log in"));
  EXPECT_TRUE(view->step(4)->isComplete());

  QTest::mouseClick(view->startAtLoginBox(), Qt::LeftButton);
  EXPECT_EQ(service->current, loginitem::Status::notRegistered);
  EXPECT_FALSE(view->startAtLoginBox()->isChecked());
  EXPECT_FALSE(view->step(4)->isComplete());

  // The setup guide opened again later (Settings → Show Setup Guide…).
  make(false);
  EXPECT_EQ(service->current, loginitem::Status::notRegistered);
  EXPECT_FALSE(view->startAtLoginBox()->isChecked());
  EXPECT_EQ(service->registers, 1);

  // A desktop that refuses the entry: the box says so by staying off.
  service->registerError = "read-only autostart folder";
  QTest::mouseClick(view->startAtLoginBox(), Qt::LeftButton);
  EXPECT_FALSE(view->startAtLoginBox()->isChecked());
}

}  // namespace
