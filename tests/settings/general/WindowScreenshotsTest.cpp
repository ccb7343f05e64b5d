// Renders the onboarding window in two installer states and the settings
// window's General tab showing a failure, and checks what a user would see
// in the pixels: green checks where steps are done, the failure's remedies
// drawn. TOVRELLE_SCREENSHOT_DIR=<folder> keeps the images for a look.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/model/UserDefaults.h"
#include "app/settings/GeneralSettingsView.h"
#include "app/settings/SettingsTabViewController.h"
#include "app/settings/WebPage.h"
#include "app/shell/OnboardingView.h"
#include "app/shortcuts/KeyboardShortcuts.h"
#include "app/shortcuts/KeyboardShortcutsTesting.h"
#include "shared/DataFolder.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/FakeHotKeys.h"
#include "tests/settings/general/WindowsTestSupport.h"

using namespace tovrelle;
using Case = SystemExtensionInstaller::Status::Case;
using settings::GeneralSettingsView;

namespace {

// Pixels close to the check-mark green.
int greenPixels(const QImage& image) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      n += std::abs(c.red() - 52) + std::abs(c.green() - 199) + std::abs(c.blue() - 89) < 40;
    }
  return n;
}

// What the window shows once the event loop had its turn (layouts redone).
QImage settled(QWidget& widget) {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  return widget.grab().toImage();
}

// The image's pixels differ from the background somewhere inside `area`.
bool drawnIn(const QImage& image, QRect area) {
  area = area.intersected(image.rect());
  const QRgb background = image.pixel(area.topLeft());
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (image.pixel(x, y) != background) return true;
  return false;
}

QImage grabOnboarding(test::InstallerRig& rig, Case status, capture::AuthorizationStatus authorization,
                      const QString& name) {
  auto capture = std::make_shared<test::FakeCaptureDevices>();
  capture->setAuthorizationStatus(authorization);
  OnboardingView::Environment e;
  e.extensionInstaller = rig.installer.get();
  e.authorization = capture;
  e.opener = std::make_shared<test::ScriptedOpener>();
  e.mainQueue = rig.main;
  OnboardingView view(e, [] {});
  view.setWindowTitle(qtTrId("onboarding.windowTitle"));
  view.show();
  rig.run();
  rig.reach(status);
  const QImage image = settled(view);
  test::saveForLooking(image, name);
  return image;
}

TEST(Screenshots, OnboardingBeforeAnythingAndWithEverythingDone) {
  test::InstallerRig fresh;
  const QImage start =
      grabOnboarding(fresh, Case::idle, capture::AuthorizationStatus::notDetermined, "onboarding-idle");
  test::InstallerRig done;
  const QImage finished =
      grabOnboarding(done, Case::activated, capture::AuthorizationStatus::authorized, "onboarding-activated");
  ASSERT_EQ(start.size(), QSize(560, 600) * start.devicePixelRatio());
  EXPECT_EQ(greenPixels(start), 0) << "no step is done yet";
  EXPECT_GT(greenPixels(finished), 3 * 200) << "three green checks";
  // The header and the footer are there in both.
  for (const QImage* image : {&start, &finished}) {
    EXPECT_TRUE(drawnIn(*image, QRect(28, 28, 300, 30)));
    EXPECT_TRUE(drawnIn(*image, QRect(440, 550, 110, 40)));
  }
}

TEST(Screenshots, GeneralTabWithAFailure) {
  QTemporaryDir tmp;
  UserDefaults::setStorePath(tmp.filePath("settings.ini"));
  ::setenv(kDataDirEnv, tmp.filePath("data").toLocal8Bit().constData(), 1);
  KeyboardShortcuts::testing::resetProcessState();
  KeyboardShortcuts::setHotKeyCenter(std::make_shared<test::FakeHotKeys>());
  {
    test::InstallerRig rig;
    auto capture = std::make_shared<test::FakeCaptureDevices>();
    capture->setAuthorizationStatus(capture::AuthorizationStatus::denied);
    auto opener = std::make_shared<test::ScriptedOpener>();
    LoginItemManager loginItems(std::make_shared<test::MemoryLoginItemService>());
    CameraPermission permission({capture, opener});
    std::unique_ptr<ImageManager> images;
    CameraManager camera({rig.main, [&]() -> ImageManager& { return *images; }});
    images = std::make_unique<ImageManager>(
        ImageManager::Dependencies{rig.main, [&]() -> CameraManager& { return camera; }});

    settings::SettingsTabViewController window(*images);
    GeneralSettingsView::Environment e{&loginItems,
                                       rig.installer.get(),
                                       &permission,
                                       [] {},
                                       opener,
                                       [](const QString& path) {
                                         return settings::webPageURL(path, {"en-US"}, "https://tovrelle.example"); }};
    auto* general = new GeneralSettingsView(e);
    window.setGeneralContent(general);
    window.setCurrentTab(settings::SettingsTabViewController::General);
    window.show();
    rig.run();
    // A bundle that fails validation asks for support; a policy refusal points at the settings.
    rig.reach(Case::failed, sysext::kErrorValidationFailed);
    const QImage withSupport = settled(window);
    test::saveForLooking(withSupport, "general-failed-support");
    rig.reach(Case::failed, sysext::kErrorForbiddenBySystemPolicy);
    const QImage withSettings = settled(window);
    test::saveForLooking(withSettings, "general-failed-settings");

    ASSERT_TRUE(general->statusView()->supportLink() == nullptr);
    QPushButton* button = general->statusView()->openSystemSettingsButton();
    ASSERT_TRUE(button);
    const QRect buttonArea(button->mapTo(&window, QPoint(0, 0)), button->size());
    EXPECT_TRUE(drawnIn(withSettings, buttonArea)) << "the System Settings button is drawn";
    EXPECT_NE(withSupport, withSettings);

    // The rest of the tab, for the look only.
    if (auto* scroll = general->findChild<QScrollArea*>()) {
      scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
      test::saveForLooking(settled(window), "general-bottom");
    }
  }
  KeyboardShortcuts::testing::resetProcessState();
  ::unsetenv(kDataDirEnv);
  UserDefaults::setStorePath({});
}

}  // namespace
