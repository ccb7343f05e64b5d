// The launch sequence and the delegate's windows, with the real model objects
// on fake services: capture, extension machinery, hot keys, status item and a
// manual main queue. Each model object is made on its first use, and the
// accessors note the order, which is the order of creation.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "app/installer/SystemExtensionInstaller.h"
#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/model/UserDefaults.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/PopoverWindow.h"
#include "app/shell/StatusItem.h"
#include "app/shortcuts/KeyboardShortcutsTesting.h"
#include "platform/hotkeys/CarbonKeys.h"
#include "platform/log/Log.h"
#include "platform/updates/UpdateController.h"
#include "shared/DataFolder.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/FakeHotKeys.h"
#include "tests/fakes/FakeSystemExtensions.h"
#include "tests/fakes/ManualDispatch.h"
#include "tests/shell/RecordingOpener.h"
#include "tests/shell/QtTestApp.h"

using namespace tovrelle;
using capture::AuthorizationStatus;
using Case = SystemExtensionInstaller::Status::Case;

namespace {

class FakeStatusItem final : public StatusItem {
 public:
  bool hasButton() const override { return true; }
  void setImage(const QString& name) override {
    image = name;
    images.push_back(name);
  }
  QString imageName() const override { return image; }
  void setAccessibilityLabel(const QString& label) override { a11y = label; }
  QString accessibilityLabel() const override { return a11y; }
  void setToolTip(const QString& tip) override { tooltip = tip; }
  QString toolTip() const override { return tooltip; }
  QRect buttonGeometry() const override { return QRect(1200, 0, 24, 24); }
  void setMenu(QMenu* m) override { menu = m; }
  void click() { emit activated(); }

  QString image, a11y, tooltip;
  QMenu* menu = nullptr;
  QStringList images;
};

constexpr uint32_t kControlOptionCommand = 6400;

struct Rig {
  QTemporaryDir tmp;
  test::ManualScheduler scheduler;
  std::shared_ptr<test::ManualQueue> main = scheduler.makeQueue("main");
  std::shared_ptr<test::ManualQueue> discovery = scheduler.makeQueue("ossel.tovrelle.cameradiscovery");
  std::shared_ptr<test::ManualQueue> utility = scheduler.makeQueue("utility");
  std::shared_ptr<test::FakeCaptureDevices> capture = std::make_shared<test::FakeCaptureDevices>();
  std::shared_ptr<test::FakeExtensionManager> extensions = std::make_shared<test::FakeExtensionManager>();
  std::shared_ptr<test::FakeHotKeys> hotKeys = std::make_shared<test::FakeHotKeys>();
  std::shared_ptr<test::RecordingOpener> opener = std::make_shared<test::RecordingOpener>();
  QString updatePage;

  std::vector<std::string> created;
  std::unique_ptr<ImageManager> imageManager;
  std::unique_ptr<CameraManager> cameraManager;
  std::shared_ptr<SystemExtensionInstaller> installer;
  std::unique_ptr<CameraDeviceManager> cameraDevices;
  FakeStatusItem* statusItem = nullptr;
  std::vector<std::string> shortcutsWired;
  std::vector<std::string> logLines;
  AppDelegate::PopoverInputs lastPopoverInputs;
  int previewStarts = 0, previewStops = 0;
  std::function<void()> onboardingOnClose;

  Rig() {
    ::setenv(kDataDirEnv, tmp.filePath("data").toLocal8Bit().constData(), 1);
    UserDefaults::setStorePath(tmp.filePath("settings.ini"));
    KeyboardShortcuts::testing::resetProcessState();
    KeyboardShortcuts::setHotKeyCenter(hotKeys);
    log::setSink([this](const log::Record& r) { logLines.push_back(r.message); });
  }
  ~Rig() {
    log::setSink(nullptr);
    KeyboardShortcuts::testing::resetProcessState();
    ::unsetenv(kDataDirEnv);
    UserDefaults::setStorePath({});
  }

  // The app's extension bundle is there, so activate(force: false) probes before it activates.
  void embedExtension() {
    const auto bundle = std::filesystem::path(tmp.filePath("bundle").toStdString()) /
                        "lib/tovrelle/SystemExtensions/velkari.tovrelle.cameraextension.systemextension";
    std::filesystem::create_directories(bundle);
    std::ofstream(bundle / "Info.json") << R"({"CFBundleIdentifier": "velkari.tovrelle.cameraextension",
      "CFBundleShortVersionString": "1.0.0", "CFBundleVersion": "1"})";
  }

  AppDelegate::Services services() {
    AppDelegate::Services s;
    auto library = [this]() -> ImageManager& {
      if (!imageManager)
        imageManager = std::make_unique<ImageManager>(
            ImageManager::Dependencies{main, [this]() -> CameraManager& { return *cameraManager; }});
      return *imageManager;
    };
    s.cameraManager = [this, library]() -> CameraManager& {
      if (!cameraManager) {
        created.push_back("CameraManager");
        cameraManager = std::make_unique<CameraManager>(CameraManager::Dependencies{main, library});
      }
      return *cameraManager;
    };
    s.imageManager = library;
    s.installer = [this]() -> SystemExtensionInstaller& {
      if (!installer) {
        created.push_back("SystemExtensionInstaller");
        installer = SystemExtensionInstaller::create(
            {extensions, main, tmp.filePath("bundle").toStdString(), [](const char* key) { return QString(key); }});
      }
      return *installer;
    };
    s.cameraDevices = [this]() -> CameraDeviceManager& {
      if (!cameraDevices) {
        created.push_back("CameraDeviceManager");
        cameraDevices = std::make_unique<CameraDeviceManager>(CameraDeviceManager::Dependencies{capture, main, discovery});
      }
      return *cameraDevices;
    };
    s.onKeyUp = [this](const KeyboardShortcuts::Name& name, KeyboardShortcuts::Action action) {
      created.push_back("shortcut " + name.rawValue().toStdString());
      KeyboardShortcuts::onKeyUp(name, std::move(action));
    };
    s.capture = [this] { return capture; };
    s.mainQueue = main;
    s.utilityQueue = utility;
    s.makeUpdater = [this] { return std::make_unique<updates::UpdateController>(updatePage, opener, main); };
    s.makeStatusItem = [this]() -> std::unique_ptr<StatusItem> {
      auto item = std::make_unique<FakeStatusItem>();
      statusItem = item.get();
      return item;
    };
    return s;
  }

  AppDelegate::Hooks hooks() {
    AppDelegate::Hooks h;
    h.makePopoverContent = [this](const AppDelegate::PopoverInputs& inputs) {
      lastPopoverInputs = inputs;
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
    return h;
  }

  std::unique_ptr<AppDelegate> launch() {
    auto delegate = std::make_unique<AppDelegate>(services(), hooks());
    delegate->applicationDidFinishLaunching();
    return delegate;
  }

  bool hasLine(const std::string& line) const {
    return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
  }
};

}  // namespace

TEST(LaunchSequence, FirstLaunchShowsOnboardingAndInstallsNothing) {
  Rig rig;
  auto delegate = rig.launch();
  rig.scheduler.drainAll();
  EXPECT_EQ(rig.created, (std::vector<std::string>{"CameraManager", "CameraDeviceManager", "shortcut cameraOff",
                                                   "shortcut cameraOn", "shortcut showLastImage"}));
  EXPECT_EQ(rig.extensions->submitted().size(), 0u);
  EXPECT_EQ(rig.capture->accessRequestCount(), 0);
  ASSERT_TRUE(delegate->onboardingWindow());
  EXPECT_TRUE(delegate->onboardingWindow()->isVisible());
  EXPECT_FALSE(delegate->settingsWindow());
  EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
}

TEST(LaunchSequence, LaterLaunchActivatesWithoutForceAndAsksForTheCameraOnceUndecided) {
  Rig rig;
  rig.embedExtension();
  UserDefaults::standard().setValue(AppDelegate::kHasCompletedOnboardingKey, true);
  rig.capture->setAuthorizationStatus(AuthorizationStatus::notDetermined);
  rig.capture->setAccessAnswer(true);
  auto delegate = rig.launch();
  EXPECT_EQ(rig.created,
            (std::vector<std::string>{"CameraManager", "SystemExtensionInstaller", "CameraDeviceManager",
                                      "shortcut cameraOff", "shortcut cameraOn", "shortcut showLastImage"}));
  // activate(force: false) probes the installed copies first instead of activating at once.
  EXPECT_EQ(rig.installer->status().kind, Case::requesting);
  EXPECT_EQ(rig.extensions->propertiesCount(), 1u);
  EXPECT_EQ(rig.extensions->activationCount(), 0u);
  EXPECT_FALSE(delegate->onboardingWindow());
  // The camera question runs on the background queue, not during the launch.
  EXPECT_EQ(rig.capture->accessRequestCount(), 0);
  rig.utility->drain();
  EXPECT_EQ(rig.capture->accessRequestCount(), 1);
  EXPECT_TRUE(rig.hasLine("Camera permission granted: true"));
}

TEST(StatusItemFollowsTheMode, OneMainQueueTurnAfterEachChangeIncludingFromShortcuts) {
  Rig rig;
  UserDefaults::standard().setValue(AppDelegate::kHasCompletedOnboardingKey, true);
  auto delegate = rig.launch();
  ASSERT_TRUE(rig.statusItem);
  // Set up from the current mode at once, with the label and the tool tip.
  EXPECT_EQ(rig.statusItem->image, "video.slash.fill");
  EXPECT_EQ(rig.statusItem->a11y, "a11y.statusItem.off");  // no string table loaded here: the key
  rig.scheduler.drainAll();

  // ⌃⌥⌘1 released: camera on. The icon changes one main-queue turn later.
  rig.hotKeys->release(hotkeys::carbon::one, kControlOptionCommand);
  EXPECT_EQ(rig.cameraManager->currentMode(), CameraMode::camera);
  EXPECT_EQ(rig.statusItem->image, "video.slash.fill");
  rig.main->drain();
  EXPECT_EQ(rig.statusItem->image, "video.fill");
  EXPECT_EQ(rig.statusItem->a11y, "a11y.statusItem.camera");

  // ⌃⌥⌘0: off.
  rig.hotKeys->release(hotkeys::carbon::zero, kControlOptionCommand);
  rig.main->drain();
  EXPECT_EQ(rig.cameraManager->currentMode(), CameraMode::off);
  EXPECT_EQ(rig.statusItem->image, "video.slash.fill");

  // ⌃⌥⌘2 shows the last image of the library.
  const QString png = rig.tmp.filePath("picture.png");
  QImage picture(8, 8, QImage::Format_RGB32);
  picture.fill(Qt::red);
  ASSERT_TRUE(picture.save(png));
  rig.cameraManager->showLastImage();  // creates the library, which is empty
  ASSERT_TRUE(rig.imageManager);
  rig.imageManager->addImage(png.toStdString());
  rig.scheduler.drainAll();
  ASSERT_EQ(rig.imageManager->savedImages().size(), 1u);
  rig.hotKeys->release(hotkeys::carbon::two, kControlOptionCommand);
  EXPECT_EQ(rig.cameraManager->currentMode(), CameraMode::image);
  rig.main->drain();
  EXPECT_EQ(rig.statusItem->image, "photo.fill");
  EXPECT_EQ(rig.statusItem->a11y, "a11y.statusItem.image");
  // Every mode reached the icon, in order, once each.
  EXPECT_EQ(rig.statusItem->images, (QStringList{"video.slash.fill", "video.slash.fill", "video.fill",
                                                 "video.slash.fill", "photo.fill"}));
  // Presses do nothing: the shortcuts act on release.
  rig.hotKeys->press(hotkeys::carbon::one, kControlOptionCommand);
  rig.main->drain();
  EXPECT_EQ(rig.cameraManager->currentMode(), CameraMode::image);
}

// A press outside the popup, as Qt delivers it while the popup holds the pointer.
void pressOutside(QWidget* popup, QPoint global) {
  QMouseEvent press(QEvent::MouseButtonPress, popup->mapFromGlobal(QPointF(global)), QPointF(global), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(popup, &press);
}

TEST(Popover, AClickElsewhereClosesItAndTheSameClickOnTheItemDoesNotReopenIt) {
  Rig rig;
  UserDefaults::standard().setValue(AppDelegate::kHasCompletedOnboardingKey, true);
  auto delegate = rig.launch();
  rig.scheduler.drainAll();
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);

  rig.statusItem->click();
  PopoverWindow* first = delegate->popover();
  ASSERT_TRUE(first);
  first->setClock([&now] { return now; });
  EXPECT_TRUE(first->isVisible());
  EXPECT_TRUE(first->windowFlags().testFlag(Qt::Popup));
  EXPECT_TRUE(first->windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_EQ(QApplication::activePopupWidget(), first);

  // A press inside keeps it open.
  pressOutside(first, first->geometry().center());
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(rig.previewStops, 0);

  // A press on the status item: the popup goes, the preview stops, and the
  // same click arriving as the item's activation does not bring it back.
  pressOutside(first, rig.statusItem->buttonGeometry().center());
  EXPECT_FALSE(first->isVisible());
  EXPECT_EQ(rig.previewStops, 1);
  now += std::chrono::milliseconds(150);
  rig.statusItem->click();
  EXPECT_EQ(delegate->popover(), first);
  EXPECT_FALSE(first->isVisible());
  EXPECT_EQ(rig.previewStarts, 1);
  EXPECT_EQ(rig.previewStops, 1);
  // The next click opens a new one.
  rig.statusItem->click();
  ASSERT_NE(delegate->popover(), first);
  EXPECT_TRUE(delegate->popover()->isVisible());
  EXPECT_EQ(rig.previewStarts, 2);

  // Closed by a click elsewhere a while ago: a click on the item opens it again.
  PopoverWindow* second = delegate->popover();
  second->setClock([&now] { return now; });
  pressOutside(second, QPoint(5, 700));
  EXPECT_FALSE(second->isVisible());
  EXPECT_EQ(rig.previewStops, 2);
  now += PopoverWindow::kClosingClickWindow;
  rig.statusItem->click();
  ASSERT_NE(delegate->popover(), second);
  EXPECT_TRUE(delegate->popover()->isVisible());
  EXPECT_EQ(rig.previewStarts, 3);

  // Esc closes it, and the next click opens a new one straight away.
  PopoverWindow* third = delegate->popover();
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(third, &esc);
  EXPECT_FALSE(third->isVisible());
  EXPECT_EQ(rig.previewStops, 3);
  rig.statusItem->click();
  EXPECT_NE(delegate->popover(), third);
  EXPECT_TRUE(delegate->popover()->isVisible());
  EXPECT_EQ(rig.previewStarts, 4);
  delegate->popover()->performClose();
  EXPECT_EQ(rig.previewStops, 4);
}

TEST(Popover, UpdateRowIsEnabledOnlyInPopoversBuiltAfterTheUpdaterReported) {
  Rig rig;
  rig.updatePage = "https://updates.example.org/";
  UserDefaults::standard().setValue(AppDelegate::kHasCompletedOnboardingKey, true);
  auto delegate = rig.launch();
  rig.statusItem->click();
  EXPECT_FALSE(rig.lastPopoverInputs.canCheckForUpdates);
  delegate->popover()->performClose();
  rig.scheduler.drainAll();
  EXPECT_TRUE(delegate->canCheckForUpdates());
  rig.statusItem->click();
  EXPECT_TRUE(rig.lastPopoverInputs.canCheckForUpdates);

  // Checking closes the popover and opens the update page.
  rig.lastPopoverInputs.onCheckForUpdates();
  EXPECT_FALSE(delegate->popover()->isShown());
  EXPECT_EQ(rig.opener->opened, (std::vector<std::string>{"https://updates.example.org/"}));

  // Settings from the popover: it closes and the settings window opens.
  rig.statusItem->click();
  rig.lastPopoverInputs.onOpenSettings();
  EXPECT_FALSE(delegate->popover()->isShown());
  ASSERT_TRUE(delegate->settingsWindow());
  EXPECT_TRUE(delegate->settingsWindow()->isVisible());
}

TEST(Popover, InstallRowForcesAnActivationUnlessOneIsUnderWay) {
  Rig rig;
  UserDefaults::standard().setValue(AppDelegate::kHasCompletedOnboardingKey, true);
  auto delegate = rig.launch();  // no embedded bundle: the launch activation goes straight to a request
  rig.scheduler.drainAll();
  ASSERT_EQ(rig.installer->status().kind, Case::requesting);
  const size_t activations = rig.extensions->activationCount();
  rig.statusItem->click();
  rig.lastPopoverInputs.onInstallExtension();
  rig.main->drain();
  EXPECT_EQ(rig.extensions->activationCount(), activations);  // requesting: nothing new

  // The request fails; the next install press activates again.
  rig.extensions->fail(rig.extensions->requests(sysext::Request::Kind::activation).back(), sysext::kErrorRequestCanceled);
  rig.main->drain();
  ASSERT_EQ(rig.installer->status().kind, Case::failed);
  rig.lastPopoverInputs.onInstallExtension();
  EXPECT_EQ(rig.extensions->activationCount(), activations);  // on the main queue, not at once
  rig.main->drain();
  EXPECT_EQ(rig.extensions->activationCount(), activations + 1);
}

TEST(Windows, SettingsWindowIsMadeOnceAndKeptAfterClosing) {
  Rig rig;
  UserDefaults::standard().setValue(AppDelegate::kHasCompletedOnboardingKey, true);
  auto delegate = rig.launch();
  delegate->openSettings();
  QWidget* window = delegate->settingsWindow();
  ASSERT_TRUE(window);
  delegate->openSettings();
  EXPECT_EQ(delegate->settingsWindow(), window);
  window->move(40, 50);
  const QPoint where = window->pos();
  window->close();
  EXPECT_FALSE(window->isVisible());
  delegate->openSettings();
  EXPECT_EQ(delegate->settingsWindow(), window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->pos(), where);
}

TEST(Windows, ClosingOnboardingByAnyMeansCompletesIt) {
  {
    Rig rig;
    auto delegate = rig.launch();
    QWidget* window = delegate->onboardingWindow();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());  // not resizable
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(UserDefaults::standard().boolValue(AppDelegate::kHasCompletedOnboardingKey));
    window->close();  // the window's close button
    EXPECT_TRUE(UserDefaults::standard().boolValue(AppDelegate::kHasCompletedOnboardingKey));
    // Shown again later (from the settings): the same window, and the flag stays.
    delegate->showOnboarding();
    EXPECT_EQ(delegate->onboardingWindow(), window);
    EXPECT_TRUE(window->isVisible());
    window->close();
    EXPECT_TRUE(UserDefaults::standard().boolValue(AppDelegate::kHasCompletedOnboardingKey));
  }
  {
    Rig rig;
    auto delegate = rig.launch();
    ASSERT_TRUE(rig.onboardingOnClose);
    rig.onboardingOnClose();  // the Done button
    EXPECT_FALSE(delegate->onboardingWindow()->isVisible());
    EXPECT_TRUE(UserDefaults::standard().boolValue(AppDelegate::kHasCompletedOnboardingKey));
    // The flag is on disk: a new store (next launch) reads it.
    UserDefaults::setStorePath(rig.tmp.filePath("settings.ini"));
    EXPECT_TRUE(UserDefaults::standard().boolValue(AppDelegate::kHasCompletedOnboardingKey));
  }
}

TEST(Windows, QuittingWhileOnboardingIsOpenLeavesItForTheNextLaunch) {
  Rig rig;
  auto delegate = rig.launch();
  ASSERT_TRUE(delegate->onboardingWindow());
  // The application's quit closes every window; that close is not the user's.
  QEvent quit(QEvent::Quit);
  QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
  EXPECT_FALSE(delegate->onboardingWindow()->isVisible());
  EXPECT_FALSE(UserDefaults::standard().boolValue(AppDelegate::kHasCompletedOnboardingKey));
}

TEST(Windows, ActivatingTheAppRefreshesTheInstallerStatus) {
  Rig rig;
  UserDefaults::standard().setValue(AppDelegate::kHasCompletedOnboardingKey, true);
  rig.embedExtension();
  rig.extensions->scriptAllProperties(test::FakeExtensionManager::answer({}));
  auto delegate = rig.launch();
  rig.scheduler.drainAll();
  const size_t before = rig.extensions->propertiesCount();
  rig.scheduler.advance(std::chrono::seconds(2));  // past the display-probe throttle
  delegate->applicationDidBecomeActive();
  rig.scheduler.drainAll();
  EXPECT_EQ(rig.extensions->propertiesCount(), before + 1);
}
