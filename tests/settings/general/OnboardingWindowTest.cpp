// The onboarding window as the application delegate builds it around
// OnboardingView: Done and the window's close button both end first-run
// onboarding, the poll lives only while the window is up, and showing it
// again brings back the same window polling again.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/model/UserDefaults.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/OnboardingView.h"
#include "app/shell/PopoverWindow.h"
#include "platform/updates/UpdateController.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/settings/general/WindowsTestSupport.h"

using namespace tovrelle;
using namespace std::chrono_literals;

namespace {

class OnboardingWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    UserDefaults::setStorePath(tmp.filePath("settings.ini"));
    capture->setAuthorizationStatus(capture::AuthorizationStatus::notDetermined);

    // Only what showing the onboarding window touches; the launch sequence is not run.
    AppDelegate::Services services;
    services.mainQueue = rig.main;
    services.utilityQueue = rig.main;
    services.installer = [this]() -> SystemExtensionInstaller& { return *rig.installer; };
    services.makeUpdater = [this] { return std::make_unique<updates::UpdateController>(QString(), opener, rig.main); };
    AppDelegate::Hooks hooks;
    hooks.makeOnboardingContent = [this](std::function<void()> onClose) -> QWidget* {
      OnboardingView::Environment e;
      e.extensionInstaller = rig.installer.get();
      e.authorization = capture;
      e.opener = opener;
      e.mainQueue = rig.main;
      e.alert = [](QWidget*, const QString&, const QString&) {};
      ++viewsMade;
      view = new OnboardingView(e, std::move(onClose));
      return view;
    };
    delegate = std::make_unique<AppDelegate>(services, hooks);
  }
  void TearDown() override {
    delegate.reset();
    UserDefaults::setStorePath({});
  }

  bool completed() const { return UserDefaults::standard().boolValue(AppDelegate::kHasCompletedOnboardingKey); }

  QTemporaryDir tmp;
  test::InstallerRig rig;
  std::shared_ptr<test::FakeCaptureDevices> capture = std::make_shared<test::FakeCaptureDevices>();
  std::shared_ptr<test::ScriptedOpener> opener = std::make_shared<test::ScriptedOpener>();
  std::unique_ptr<AppDelegate> delegate;
  OnboardingView* view = nullptr;
  int viewsMade = 0;
};

TEST_F(OnboardingWindowTest, DoneEndsOnboardingAndClosesTheWindow) {
  delegate->showOnboarding();
  ASSERT_TRUE(view);
  QWidget* window = delegate->onboardingWindow();
  ASSERT_TRUE(window && window->isAncestorOf(view));
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(view->isPolling());
  EXPECT_FALSE(completed());

  QTest::mouseClick(view->doneButton(), Qt::LeftButton);
  EXPECT_TRUE(completed());
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(view->isPolling()) << "the poll ends with the window";
}

TEST_F(OnboardingWindowTest, TheCloseButtonEndsOnboardingTooAndTheSameWindowComesBackPolling) {
  delegate->showOnboarding();
  QWidget* window = delegate->onboardingWindow();
  ASSERT_TRUE(window);
  window->close();  // what the title bar's close button does
  EXPECT_TRUE(completed()) << "closed before any step was done, onboarding still counts as completed";
  EXPECT_FALSE(view->isPolling());

  // Access granted while the window was away is seen at once on showing.
  capture->setAuthorizationStatus(capture::AuthorizationStatus::authorized);
  rig.scheduler.advance(3s);
  EXPECT_FALSE(view->step(3)->isComplete());
  delegate->showOnboarding();
  EXPECT_EQ(delegate->onboardingWindow(), window);
  EXPECT_EQ(viewsMade, 1);
  EXPECT_TRUE(view->isPolling());
  EXPECT_TRUE(view->step(3)->isComplete());

  // Shown again from the settings after completion: closing keeps the flag.
  window->close();
  EXPECT_TRUE(completed());
}

}  // namespace
