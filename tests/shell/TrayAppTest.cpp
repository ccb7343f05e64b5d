// The launch sequence and the delegate's windows, with the real model objects
// on fake services: capture, camera service machinery, hot keys, tray icon and a
// manual main queue. Each model object is made on its first use.
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QWidget>
#include <chrono>

#include "app/shell/PopoverWindow.h"
#include "app/shell/TrayApp.h"
#include "app/shell/TrayIcon.h"
#include "platform/hotkeys/KeyCodes.h"
#include "tests/fakes/FakeHotKeys.h"
#include "tests/shell/PopoverFixture.h"
#include "tests/shell/QtTestApp.h"

using namespace tovrelle;
using capture::AuthorizationStatus;
using Case = CameraServiceInstaller::Status::Case;

namespace {

class FakeTrayIcon final : public TrayIcon {
 public:
  bool hasButton() const override { return true; }
  void setImage(const QString& name) override { images.push_back(image = name); }
  QString imageName() const override { return image; }
  void setAccessibilityLabel(const QString& label) override { a11y = label; }
  QString accessibilityLabel() const override { return a11y; }
  void setToolTip(const QString& tip) override { tooltip = tip; }
  QString toolTip() const override { return tooltip; }
  QRect buttonGeometry() const override { return QRect(1200, 0, 24, 24); }
  void setMenu(QMenu*) override {}
  void click() { emit activated(); }

  QString image, a11y, tooltip;
  QStringList images;
};

constexpr uint32_t kControlOptionCommand = 6400;

class Delegate : public test::PopoverFixture {
 protected:
  void SetUp() override {
    PopoverFixture::SetUp();
    shortcuts = std::make_unique<KeyboardShortcuts::ShortcutRegistry>(
        settings(), KeyboardShortcuts::ShortcutRegistry::Backend{hotKeys, nullptr, {}});
  }
  void TearDown() override {
    shortcuts.reset();
    PopoverFixture::TearDown();
  }

  // The app's copy of the service is there, so install(force: false) looks before it installs.
  void embedExtension() {
    const auto bundle = std::filesystem::path(tmp_.filePath("bundle").toStdString()) /
                        "lib/tovrelle/SystemExtensions/velkari.tovrelle.cameraextension.systemextension";
    std::filesystem::create_directories(bundle);
    std::ofstream(bundle / "Info.json") << R"({"CFBundleIdentifier": "velkari.tovrelle.cameraextension",
      "CFBundleShortVersionString": "1.0.0", "CFBundleVersion": "1"})";
  }

  std::unique_ptr<TrayApp> launch(bool onboarded = true) {
    if (onboarded) settings().setValue(TrayApp::kHasCompletedOnboardingKey, true);
    TrayApp::Services s;
    s.cameraManager = [this]() -> CameraManager& { return camera(); };
    s.imageManager = [this]() -> ImageManager& { return images(); };
    s.installer = [this]() -> CameraServiceInstaller& { return installer(); };
    s.cameraDevices = [this]() -> CameraDeviceManager& { return devices(); };
    s.cameraFeed = [this]() -> CameraFeedStatus& { return cameraFeed(); };
    s.onKeyUp = [this](const KeyboardShortcuts::Name& name, KeyboardShortcuts::Action action) {
      shortcuts->onKeyUp(name, std::move(action));
    };
    s.capture = [this] { return capture_; };
    s.mainQueue = main_;
    s.utilityQueue = utility;
    s.settings = &settings();
    s.updatePage = updatePage;
    s.opener = opener_;
    s.makeTrayIcon = [this]() -> std::unique_ptr<TrayIcon> {
      auto item = std::make_unique<FakeTrayIcon>();
      trayIcon = item.get();
      return item;
    };
    TrayApp::Hooks h;
    h.makePopoverContent = [this](const TrayApp::PopoverInputs& inputs) {
      popoverInputs = inputs;
      auto* w = new QWidget;
      w->setFixedSize(260, 120);
      return w;
    };
    h.makeOnboardingContent = [this](std::function<void()> onClose) {
      onboardingOnClose = onClose;
      return new QWidget;
    };
    h.startPreview = [this] { ++previewStarts; };
    h.stopPreview = [this] { ++previewStops; };
    auto delegate = std::make_unique<TrayApp>(s, h);
    delegate->applicationDidFinishLaunching();
    return delegate;
  }

  bool onboarded() { return settings().boolValue(TrayApp::kHasCompletedOnboardingKey); }

  std::shared_ptr<test::ManualQueue> utility = scheduler_.makeQueue("utility");
  std::shared_ptr<test::FakeHotKeys> hotKeys = std::make_shared<test::FakeHotKeys>();
  std::unique_ptr<KeyboardShortcuts::ShortcutRegistry> shortcuts;
  std::string updatePage;
  FakeTrayIcon* trayIcon = nullptr;
  TrayApp::PopoverInputs popoverInputs;
  int previewStarts = 0, previewStops = 0;
  std::function<void()> onboardingOnClose;
};

}  // namespace

TEST_F(Delegate, FirstLaunchShowsOnboardingAndInstallsNothing) {
  auto delegate = launch(false);
  scheduler_.drainAll();
  EXPECT_FALSE(installer_);
  EXPECT_EQ(service_->callCount(), 0u);
  EXPECT_EQ(capture_->accessRequestCount(), 0);
  ASSERT_TRUE(delegate->onboardingWindow());
  EXPECT_TRUE(delegate->onboardingWindow()->isVisible());
  EXPECT_FALSE(delegate->settingsWindow());
}

TEST_F(Delegate, LaterLaunchActivatesWithoutForceAndAsksForTheCameraOnceUndecided) {
  embedExtension();
  capture_->setAuthorizationStatus(AuthorizationStatus::notDetermined);
  capture_->setAccessAnswer(true);
  auto delegate = launch();
  // install(force: false) looks at the installed copy first instead of installing at once.
  EXPECT_EQ(installer_->status().kind, Case::starting);
  EXPECT_EQ(service_->lookCount(), 1u);
  EXPECT_EQ(service_->installCount(), 0u);
  EXPECT_FALSE(delegate->onboardingWindow());
  // The camera question runs on the background queue, not during the launch.
  EXPECT_EQ(capture_->accessRequestCount(), 0);
  utility->drain();
  EXPECT_EQ(capture_->accessRequestCount(), 1);
  EXPECT_EQ(countStartingWith(takeLines(), "Camera permission granted: true"), 1);
}

TEST_F(Delegate, TrayIconFollowsTheModeOneMainQueueTurnAfterEachChangeIncludingFromShortcuts) {
  auto delegate = launch();
  ASSERT_TRUE(trayIcon);
  // Set up from the current mode at once, with the label.
  EXPECT_EQ(trayIcon->image, "tovrelle-camera-off-symbolic");
  EXPECT_EQ(trayIcon->a11y, "a11y.trayIcon.off");  // no string table loaded here: the key
  scheduler_.drainAll();

  // Control+Alt+Super+1 released: camera on. The icon changes one main-queue turn later.
  hotKeys->release(hotkeys::key::one, kControlOptionCommand);
  EXPECT_EQ(camera_->currentMode(), CameraMode::camera);
  EXPECT_EQ(trayIcon->image, "tovrelle-camera-off-symbolic");
  main_->drain();
  EXPECT_EQ(trayIcon->image, "tovrelle-camera-on-symbolic");
  EXPECT_EQ(trayIcon->a11y, "a11y.trayIcon.camera");
  hotKeys->release(hotkeys::key::zero, kControlOptionCommand);
  main_->drain();
  EXPECT_EQ(camera_->currentMode(), CameraMode::off);

  // Control+Alt+Super+2 shows the last image of the library.
  addLibraryPicture("Picture", solid(8, 8, Qt::red));
  scheduler_.drainAll();
  hotKeys->release(hotkeys::key::two, kControlOptionCommand);
  EXPECT_EQ(camera_->currentMode(), CameraMode::image);
  main_->drain();
  EXPECT_EQ(trayIcon->a11y, "a11y.trayIcon.image");
  // Every mode reached the icon, in order, once each.
  EXPECT_EQ(trayIcon->images,
            (QStringList{"tovrelle-camera-off-symbolic", "tovrelle-camera-off-symbolic", "tovrelle-camera-on-symbolic",
                         "tovrelle-camera-off-symbolic", "tovrelle-image-symbolic"}));
  // Presses do nothing: the shortcuts act on release.
  hotKeys->press(hotkeys::key::one, kControlOptionCommand);
  main_->drain();
  EXPECT_EQ(camera_->currentMode(), CameraMode::image);
}

// A press outside the popup, as Qt delivers it while the popup holds the pointer.
void pressOutside(QWidget* popup, QPoint global) {
  QMouseEvent press(QEvent::MouseButtonPress, popup->mapFromGlobal(QPointF(global)), QPointF(global), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(popup, &press);
}

TEST_F(Delegate, PopoverClosesOnAClickElsewhereAndTheSameClickOnTheItemDoesNotReopenIt) {
  auto delegate = launch();
  scheduler_.drainAll();
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  auto clock = [&now] { return now; };

  trayIcon->click();
  PopoverWindow* first = delegate->popover();
  ASSERT_TRUE(first);
  first->setClock(clock);
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(QApplication::activePopupWidget(), first);

  // A press inside keeps it open.
  pressOutside(first, first->geometry().center());
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(previewStops, 0);

  // A press on the tray icon: the popup goes, the preview stops, and the
  // same click arriving as the item's activation does not bring it back.
  pressOutside(first, trayIcon->buttonGeometry().center());
  EXPECT_FALSE(first->isVisible());
  EXPECT_EQ(previewStops, 1);
  now += std::chrono::milliseconds(150);
  trayIcon->click();
  EXPECT_EQ(delegate->popover(), first);
  EXPECT_FALSE(first->isVisible());
  EXPECT_EQ(previewStarts, 1);
  // The next click opens a new one.
  trayIcon->click();
  ASSERT_NE(delegate->popover(), first);
  EXPECT_TRUE(delegate->popover()->isVisible());
  EXPECT_EQ(previewStarts, 2);

  // Closed by a click elsewhere a while ago: a click on the item opens it again.
  PopoverWindow* second = delegate->popover();
  second->setClock(clock);
  pressOutside(second, QPoint(5, 700));
  EXPECT_FALSE(second->isVisible());
  EXPECT_EQ(previewStops, 2);
  now += PopoverWindow::kClosingClickWindow;
  trayIcon->click();
  ASSERT_NE(delegate->popover(), second);
  EXPECT_TRUE(delegate->popover()->isVisible());
  EXPECT_EQ(previewStarts, 3);

  // Esc closes it, and the next click opens a new one straight away.
  PopoverWindow* third = delegate->popover();
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(third, &esc);
  EXPECT_FALSE(third->isVisible());
  EXPECT_EQ(previewStops, 3);
  trayIcon->click();
  EXPECT_NE(delegate->popover(), third);
  EXPECT_EQ(previewStarts, 4);
  delegate->popover()->performClose();
  EXPECT_EQ(previewStops, 4);
}

TEST_F(Delegate, PopoverUpdateRowOpensTheUpdatePageOfABuildThatNamesOne) {
  updatePage = "https://updates.example.org/";
  auto delegate = launch();
  trayIcon->click();
  EXPECT_TRUE(popoverInputs.canCheckForUpdates);

  // Checking closes the popover and opens the update page.
  popoverInputs.onCheckForUpdates();
  EXPECT_FALSE(delegate->popover()->isShown());
  EXPECT_EQ(opener_->opened, (std::vector<std::string>{"https://updates.example.org/"}));

  // Settings from the popover: it closes and the settings window opens.
  trayIcon->click();
  popoverInputs.onOpenSettings();
  EXPECT_FALSE(delegate->popover()->isShown());
  ASSERT_TRUE(delegate->settingsWindow());
  EXPECT_TRUE(delegate->settingsWindow()->isVisible());
}

TEST_F(Delegate, PopoverInstallRowForcesAnInstallUnlessOneIsUnderWay) {
  auto delegate = launch();  // no copy of the service in the app: the launch installs at once
  scheduler_.drainAll();
  ASSERT_EQ(installer_->status().kind, Case::starting);
  const size_t installs = service_->installCount();
  trayIcon->click();
  popoverInputs.onInstallService();
  main_->drain();
  EXPECT_EQ(service_->installCount(), installs);  // starting: nothing new

  // The install fails; the next install press installs again, on the main queue.
  service_->fail(service_->lastInstall(), userservice::kErrorUnknown);
  main_->drain();
  ASSERT_EQ(installer_->status().kind, Case::failed);
  popoverInputs.onInstallService();
  EXPECT_EQ(service_->installCount(), installs);
  main_->drain();
  EXPECT_EQ(service_->installCount(), installs + 1);
}

TEST_F(Delegate, SettingsWindowIsMadeOnceAndKeptAfterClosing) {
  auto delegate = launch();
  delegate->openSettings();
  QWidget* window = delegate->settingsWindow();
  ASSERT_TRUE(window);
  window->move(40, 50);
  const QPoint where = window->pos();
  window->close();
  delegate->openSettings();
  EXPECT_EQ(delegate->settingsWindow(), window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->pos(), where);
}

TEST_F(Delegate, ClosingOnboardingByItsCloseButtonCompletesItButQuittingDoesNot) {
  auto delegate = launch(false);
  QWidget* window = delegate->onboardingWindow();
  ASSERT_TRUE(window);
  EXPECT_EQ(window->minimumSize(), window->maximumSize());  // not resizable
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  window->close();  // the window's close button
  EXPECT_TRUE(onboarded());
  // Shown again later (from the settings): the same window.
  delegate->showOnboarding();
  EXPECT_EQ(delegate->onboardingWindow(), window);
  EXPECT_TRUE(window->isVisible());
  // The application's quit closes every window; that close is not the user's.
  settings().setValue(TrayApp::kHasCompletedOnboardingKey, false);
  QEvent quit(QEvent::Quit);
  QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(onboarded());
}

TEST_F(Delegate, OnboardingsDoneButtonCompletesItOnDisk) {
  auto delegate = launch(false);
  ASSERT_TRUE(onboardingOnClose);
  onboardingOnClose();
  EXPECT_FALSE(delegate->onboardingWindow()->isVisible());
  // The flag is on disk: a new store (next launch) reads it.
  EXPECT_TRUE(Settings(tmp_.filePath("settings.ini")).boolValue(TrayApp::kHasCompletedOnboardingKey));
}

TEST_F(Delegate, ActivatingTheAppRefreshesTheInstallerStatus) {
  embedExtension();
  service_->scriptAllLooks(test::FakeCameraService::found(test::FakeCameraService::nothing()));
  auto delegate = launch();
  scheduler_.drainAll();
  const size_t before = service_->lookCount();
  scheduler_.advance(std::chrono::seconds(2));  // past the display-look throttle
  delegate->applicationDidBecomeActive();
  scheduler_.drainAll();
  EXPECT_EQ(service_->lookCount(), before + 1);
}

// After "Remove Camera…" the tray's tool tip says what other apps see: no camera.
TEST_F(Delegate, TheToolTipSaysTheCameraIsNotInstalledAfterTheUserRemovedIt) {
  auto delegate = launch();  // no copy of the service in the app: the launch installs at once
  scheduler_.drainAll();
  service_->succeed(service_->lastInstall());
  scheduler_.drainAll();
  ASSERT_EQ(installer_->status().kind, Case::running);
  EXPECT_EQ(trayIcon->tooltip, "trayIcon.toolTip.off");  // no string table loaded here: the key

  service_->scriptNextRemoval(test::FakeCameraService::succeed());
  installer_->remove();
  scheduler_.drainAll();
  QCoreApplication::processEvents();
  EXPECT_EQ(trayIcon->tooltip, "trayIcon.toolTip.off\ntrayIcon.toolTip.notInstalled");

  // Installed again on the user's word: the line goes.
  service_->scriptNextInstall(test::FakeCameraService::succeed());
  popoverInputs = {};
  trayIcon->click();
  popoverInputs.onInstallService();
  scheduler_.drainAll();
  QCoreApplication::processEvents();
  ASSERT_EQ(installer_->status().kind, Case::running);
  EXPECT_EQ(trayIcon->tooltip, "trayIcon.toolTip.off");
}

// Camera on with no camera, or one that stopped sending: the tool tip says so on a second line.
TEST_F(Delegate, TheToolTipSaysWhenCameraModeHasNoPicture) {
  auto delegate = launch();
  scheduler_.drainAll();
  QCoreApplication::processEvents();
  camera().turnOn();
  scheduler_.drainAll();
  QCoreApplication::processEvents();
  EXPECT_EQ(trayIcon->tooltip, "trayIcon.toolTip.camera\ncameraFeed.noCamera");

  capture_->addDevice("cam-a", "Desk Cam");
  feed_->state = camera::FeedState::stalled;
  scheduler_.advance(CameraFeedStatus::kSettleDelay);
  QCoreApplication::processEvents();
  EXPECT_EQ(trayIcon->tooltip, "trayIcon.toolTip.camera\ncameraFeed.stalled");

  feed_->state = camera::FeedState::live;
  camera().turnOff();
  camera().turnOn();
  scheduler_.advance(CameraFeedStatus::kSettleDelay);
  QCoreApplication::processEvents();
  EXPECT_EQ(trayIcon->tooltip, "trayIcon.toolTip.camera");
}
