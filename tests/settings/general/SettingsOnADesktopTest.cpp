// The settings window on a private X server, driven with real key presses
// (xdotool): the tab keys, Esc in a rename; and drawn in a light and a dark
// palette, where the cards must not swallow the checkbox and the shortcut
// fields.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QTest>
#include <QWindow>

#include "app/model/LoginItemManager.h"
#include "app/settings/GeneralSettingsView.h"
#include "app/settings/ImageRow.h"
#include "app/settings/ImagesSettingsView.h"
#include "app/settings/SettingsStyle.h"
#include "app/settings/SettingsTabViewController.h"
#include "app/settings/VideoDeviceView.h"
#include "app/settings/WebPage.h"
#include "app/shell/OnboardingView.h"
#include "app/shell/Strings.h"
#include "app/shell/TrayPanel.h"
#include "app/shortcuts/ShortcutRow.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/FakeHotKeys.h"
#include "tests/fakes/FakeVideoDevices.h"
#include "tests/settings/SettingsFixture.h"
#include "tests/settings/general/WindowsTestSupport.h"
#include "tests/support/Services.h"

using namespace tovrelle;
using settings::GeneralSettingsView;
using settings::SettingsTabViewController;

namespace {

// Real key presses through the X server, to whatever window has the focus.
void keys(const QStringList& names) {
  QProcess xdotool;
  xdotool.start(QStringLiteral("xdotool"),
                QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("60")} + names);
  ASSERT_TRUE(xdotool.waitForStarted(5000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return xdotool.state() == QProcess::NotRunning; }, 10000));
  ASSERT_EQ(xdotool.exitCode(), 0) << xdotool.readAllStandardError().toStdString();
}

QPalette darkPalette() {
  QPalette p;
  for (auto [role, rgb] : {std::pair{QPalette::Window, 0x2d2d2d},
                           {QPalette::WindowText, 0xeeeeee},
                           {QPalette::Base, 0x1e1e1e},
                           {QPalette::AlternateBase, 0x353535},
                           {QPalette::Text, 0xeeeeee},
                           {QPalette::Button, 0x3a3a3a},
                           {QPalette::ButtonText, 0xeeeeee},
                           {QPalette::Highlight, 0x3584e4},
                           {QPalette::HighlightedText, 0xffffff},
                           {QPalette::Link, 0x78aeed}})
    p.setColor(role, QColor::fromRgb(rgb));
  for (auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
    p.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
  return p;
}

// The largest difference in lightness between `rect` of `image` and `ground`.
int strongestEdge(const QImage& image, QRect rect, const QColor& ground) {
  int strongest = 0;
  rect = rect.intersected(image.rect());
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x)
      strongest = std::max(strongest, std::abs(image.pixelColor(x, y).lightness() - ground.lightness()));
  return strongest;
}

class SettingsOnADesktop : public test::SettingsFixture {
 protected:
  static void SetUpTestSuite() {
    session_ = new test::PrivateSession({.pipewire = false, .wireplumber = false, .xvfb = true});
    qputenv("QT_QPA_PLATFORM", "xcb");
    static int argc = 1;
    static char name[] = "settings-desktop-test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    strings::install(*app_);
  }
  static void TearDownTestSuite() {
    delete app_;
    delete session_;
  }

  void SetUp() override {
    SettingsFixture::SetUp();
    shortcuts_ = std::make_unique<KeyboardShortcuts::ShortcutRegistry>(
        *settings_, KeyboardShortcuts::ShortcutRegistry::Backend{std::make_shared<test::FakeHotKeys>(), nullptr, {}});
    camera();
    images().addImage(picture("Beach.png", QColor(230, 170, 60)));
    images().addImage(picture("Office.png", QColor(60, 120, 200)));
    scheduler_.drainAll();
    capture_->setAuthorizationStatus(capture::AuthorizationStatus::authorized);
    makeWindow();
  }

  // The window as the app builds it, in the palette of the moment.
  void makeWindow() {
    window_.reset();
    window_ = std::make_unique<SettingsTabViewController>(images());
    general_ = new GeneralSettingsView(
        {&loginItems_,
         rig_.installer.get(),
         &permission_,
         [] {},
         opener_,
         [](const QString& path) { return settings::webPageURL(path, {"en-US"}, "https://tovrelle.example"); },
         {},
         &video_,
         nullptr,
         shortcuts_.get()});
    window_->setGeneralContent(general_);
    window_->move(40, 40);
    window_->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window_->windowHandle() && window_->windowHandle()->isExposed(); }));
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window_->isActiveWindow(); })) << "the window never got the focus";
  }

  void TearDown() override {
    window_.reset();
    shortcuts_.reset();
    SettingsFixture::TearDown();
  }

  QImage screenshot() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    return window_->grab().toImage();
  }

  static inline test::PrivateSession* session_ = nullptr;
  static inline QApplication* app_ = nullptr;
  test::InstallerRig rig_;
  std::shared_ptr<test::FakeCaptureDevices> capture_ = std::make_shared<test::FakeCaptureDevices>();
  std::shared_ptr<test::ScriptedOpener> opener_ = std::make_shared<test::ScriptedOpener>();
  LoginItemManager loginItems_{std::make_shared<test::MemoryLoginItemService>()};
  CameraPermission permission_{{capture_, opener_}};
  std::shared_ptr<test::FakeVideoDevices> videoDevices_ = std::make_shared<test::FakeVideoDevices>(rig_.main);
  VideoDeviceStatus video_{{videoDevices_, rig_.main}};
  std::unique_ptr<KeyboardShortcuts::ShortcutRegistry> shortcuts_;
  std::unique_ptr<SettingsTabViewController> window_;
  GeneralSettingsView* general_ = nullptr;
};

TEST_F(SettingsOnADesktop, TabKeysSwitchTabsAndEscEndsARenameWithoutRenaming) {
  ASSERT_EQ(window_->currentTab(), SettingsTabViewController::Images);
  using Tabs = SettingsTabViewController;
  for (const auto& step : {std::pair{"ctrl+Tab", Tabs::General},
                           {"ctrl+Next", Tabs::About},
                           {"ctrl+shift+Tab", Tabs::General},
                           {"ctrl+Prior", Tabs::Images}}) {
    keys({step.first});
    EXPECT_TRUE(QTest::qWaitFor([&] { return window_->currentTab() == step.second; })) << step.first;
  }

  settings::ImageRow* row = window_->imagesView()->rowAt(0);
  ASSERT_TRUE(row);
  row->startEditing();
  ASSERT_TRUE(QTest::qWaitFor([&] { return row->nameField()->hasFocus(); }));
  keys({"H", "a", "r", "b", "o", "u", "r"});
  EXPECT_TRUE(QTest::qWaitFor([&] { return row->editedName() == "Harbour"; }));
  keys({"Escape"});
  EXPECT_TRUE(QTest::qWaitFor([&] { return !row->isEditingName(); }));
  scheduler_.drainAll();
  EXPECT_EQ(images().savedImages().at(0).name, "Beach");
  EXPECT_TRUE(window_->isVisible()) << "Esc ends the edit, not the window";
}

TEST_F(SettingsOnADesktop, CheckboxFieldsAndFocusRingStayVisibleInLightAndDark) {
  for (const auto& [name, palette] : {std::pair{QStringLiteral("light"), QApplication::style()->standardPalette()},
                                      std::pair{QStringLiteral("dark"), darkPalette()}}) {
    SCOPED_TRACE(name.toStdString());
    QApplication::setPalette(palette);
    makeWindow();
    window_->setCurrentTab(SettingsTabViewController::General);
    const QImage general = screenshot();
    const qreal ratio = general.devicePixelRatio();

    // The checkbox's box against the card it sits on.
    QCheckBox* box = general_->launchAtLoginCheckBox();
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    const QRect inWindow(box->mapTo(window_.get(), indicator.topLeft()) * ratio, indicator.size() * ratio);
    const QColor card = general.pixelColor(inWindow.left() - 4, inWindow.center().y());
    EXPECT_GT(strongestEdge(general, inWindow, card), 20) << "checkbox edge against its card";

    // The shortcut fields show this desktop's notation, inside a visible frame.
    auto* field = general_->recorders()[0]->field();
    EXPECT_EQ(field->text(), "Ctrl+Alt+Super+0");
    const QRect frame(field->mapTo(window_.get(), QPoint(0, 0)) * ratio, field->size() * ratio);
    const QColor around = general.pixelColor(frame.left() - 3, frame.center().y());
    EXPECT_GT(strongestEdge(general, QRect(frame.left(), frame.center().y(), 3, 1), around), 15)
        << "field border against its card";

    // The popover in the same palette, its current row showing the focus ring.
    TrayPanel popover(
        {camera_.get(), images_.get(), nullptr, rig_.installer.get(), nullptr, &permission_, [] {}}, [] {}, [] {},
        [] {}, false);
    popover.show();
    popover.activateWindow();
    (void)QTest::qWaitFor([&] { return popover.isActiveWindow(); });
    popover.focusCurrentRow();
    PopoverRow* off = popover.findChild<PopoverRow*>("offRow");
    ASSERT_TRUE(QTest::qWaitFor([&] { return off->hasFocus(); }));
    QCoreApplication::processEvents();
    const QImage shot = popover.grab().toImage();
    const QPoint rowAt = off->mapTo(&popover, QPoint(0, 0)) * shot.devicePixelRatio();
    const QColor inside = shot.pixelColor(rowAt + QPoint(off->width() * shot.devicePixelRatio() - 12, 6));
    EXPECT_GT(strongestEdge(shot, QRect(rowAt + QPoint(off->width() / 2, 0), QSize(1, 3)), inside), 40)
        << "focus ring against the popover";
  }
  QApplication::setPalette(QApplication::style()->standardPalette());
}

// The /dev/video device's row in the General tab and in the setup window, in
// a light and a dark palette: its longest texts wrap inside the window, the
// Load Now button is on screen, and nothing is cut. With
// TOVRELLE_SCREENSHOT_DIR set, the pictures are saved there to look at.
TEST_F(SettingsOnADesktop, TheVideoDeviceRowFitsInLightAndDark) {
  using videodevice::ServiceOutput;
  const QString saveTo = qEnvironmentVariable("TOVRELLE_SCREENSHOT_DIR");
  auto fullyShown = [](QWidget* widget, QWidget* window) {
    const QRect inWindow(widget->mapTo(window, QPoint(0, 0)), widget->size());
    return window->rect().contains(inWindow);
  };
  auto notCut = [](QLabel* label) { return label->height() >= label->heightForWidth(label->width()) - 1; };
  const std::pair<const char*, videodevice::Report> cases[] = {
      {"not-loaded", test::video_reports::notLoaded()},
      {"others", test::video_reports::othersOnly({"Stream Cam", "Desk Left"})},
      {"reading", test::video_reports::streaming("/dev/video4", ServiceOutput::reading)}};
  for (const auto& [name, palette] : {std::pair{QStringLiteral("light"), QApplication::style()->standardPalette()},
                                      std::pair{QStringLiteral("dark"), darkPalette()}}) {
    QApplication::setPalette(palette);
    for (const auto& [state, report] : cases) {
      SCOPED_TRACE(name.toStdString() + " " + state);
      videoDevices_->report = report;
      makeWindow();
      window_->setCurrentTab(SettingsTabViewController::General);
      rig_.run();
      settings::VideoDeviceView* row = general_->videoDeviceView();
      ASSERT_TRUE(row);
      general_->findChild<QScrollArea*>()->ensureWidgetVisible(row);
      const QImage shot = screenshot();
      EXPECT_TRUE(notCut(row->textLabel())) << row->textLabel()->text().toStdString();
      EXPECT_LE(row->mapTo(window_.get(), QPoint(row->width(), 0)).x(), window_->width()) << "wider than the window";
      if (row->loadButton()->isVisible()) {
        EXPECT_TRUE(fullyShown(row->loadButton(), window_.get()));
      }
      if (!saveTo.isEmpty()) shot.save(saveTo + QStringLiteral("/general-%1-%2.png").arg(state, name));

      OnboardingView onboarding({rig_.installer.get(), capture_, opener_, rig_.main, {}, &video_}, [] {});
      onboarding.show();
      ASSERT_TRUE(QTest::qWaitFor([&] { return onboarding.windowHandle() && onboarding.windowHandle()->isExposed(); }));
      rig_.run();
      QCoreApplication::processEvents();
      settings::VideoDeviceView* step = onboarding.videoDeviceView();
      onboarding.scrollArea()->ensureWidgetVisible(step);
      QCoreApplication::processEvents();
      EXPECT_TRUE(notCut(step->textLabel())) << step->textLabel()->text().toStdString();
      EXPECT_LE(step->mapTo(&onboarding, QPoint(step->width(), 0)).x(), onboarding.width()) << "wider than the window";
      if (step->loadButton()->isVisible()) {
        EXPECT_TRUE(fullyShown(step->loadButton(), &onboarding));
      }
      if (!saveTo.isEmpty())
        onboarding.grab().toImage().save(saveTo + QStringLiteral("/onboarding-%1-%2.png").arg(state, name));
    }
  }
  QApplication::setPalette(QApplication::style()->standardPalette());
}

// After "Remove Camera…" the General tab offers installing, in light and dark.
TEST_F(SettingsOnADesktop, ARemovedCameraServiceOffersInstallingInLightAndDark) {
  const QString saveTo = qEnvironmentVariable("TOVRELLE_SCREENSHOT_DIR");
  rig_.reach(CameraServiceInstaller::Status::Case::running);
  rig_.service->scriptNextRemoval(test::FakeCameraService::succeed());
  rig_.installer->remove();
  rig_.run();
  ASSERT_TRUE(rig_.installer->isRemovedByUser());
  for (const auto& [name, palette] : {std::pair{QStringLiteral("light"), QApplication::style()->standardPalette()},
                                      std::pair{QStringLiteral("dark"), darkPalette()}}) {
    SCOPED_TRACE(name.toStdString());
    QApplication::setPalette(palette);
    makeWindow();
    window_->setCurrentTab(SettingsTabViewController::General);
    rig_.run();
    general_->findChild<QScrollArea*>()->ensureWidgetVisible(general_->removeButton());
    const QImage shot = screenshot();
    EXPECT_EQ(general_->reinstallButton()->text(), QStringLiteral("Install Camera Service"));
    EXPECT_TRUE(general_->reinstallButton()->isEnabled());
    EXPECT_FALSE(general_->removeButton()->isEnabled());
    EXPECT_TRUE(general_->statusView()->textLabel()->text().startsWith(QStringLiteral("Removed: ")));
    if (!saveTo.isEmpty()) shot.save(saveTo + QStringLiteral("/general-removed-%1.png").arg(name));

    // The setup window's step that starts the app at login, on by default.
    LoginItemManager loginItem(std::make_shared<test::MemoryLoginItemService>());
    OnboardingView::Environment e{rig_.installer.get(), capture_, opener_, rig_.main, {}, &video_};
    e.loginItem = &loginItem;
    e.startAtLoginByDefault = true;
    OnboardingView onboarding(e, [] {});
    onboarding.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return onboarding.windowHandle() && onboarding.windowHandle()->isExposed(); }));
    rig_.run();
    onboarding.scrollArea()->ensureWidgetVisible(onboarding.step(4));
    QCoreApplication::processEvents();
    QCheckBox* box = onboarding.startAtLoginBox();
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->isChecked());
    const QRect inView(box->mapTo(onboarding.scrollArea()->viewport(), QPoint(0, 0)), box->size());
    EXPECT_TRUE(onboarding.scrollArea()->viewport()->rect().contains(inView)) << "the box is on screen";
    if (!saveTo.isEmpty())
      onboarding.grab().toImage().save(saveTo + QStringLiteral("/onboarding-login-%1.png").arg(name));
  }
  QApplication::setPalette(QApplication::style()->standardPalette());
}

}  // namespace

// The Images tab in light and dark: each row says what its picture is in
// secondary text that keeps at least 4.5:1 contrast against the list.
TEST_F(SettingsOnADesktop, ImageRowsSayTheirKindReadablyInLightAndDark) {
  const QString saveTo = qEnvironmentVariable("TOVRELLE_SCREENSHOT_DIR");
  for (const auto& [name, palette] : {std::pair{QStringLiteral("light"), QApplication::style()->standardPalette()},
                                      std::pair{QStringLiteral("dark"), darkPalette()}}) {
    SCOPED_TRACE(name.toStdString());
    QApplication::setPalette(palette);
    makeWindow();
    window_->setCurrentTab(SettingsTabViewController::Images);
    auto rows = window_->findChildren<settings::ImageRow*>();
    ASSERT_TRUE(QTest::qWaitFor([&] {
      rows = window_->findChildren<settings::ImageRow*>();
      return rows.size() == 2 && !rows[0]->fileLabel()->text().isEmpty() && !rows[1]->fileLabel()->text().isEmpty();
    }));
    const QImage shot = screenshot();
    for (settings::ImageRow* row : rows) {
      EXPECT_EQ(row->fileLabel()->text(), QStringLiteral("PNG · 64 × 48"));
      const QColor ink = row->fileLabel()->palette().color(QPalette::WindowText);
      const QColor paper = row->fileLabel()->palette().color(QPalette::Base);
      EXPECT_GE(settings::contrastRatio(ink, paper), 4.5)
          << ink.name().toStdString() << " on " << paper.name().toStdString();
      EXPECT_GE(settings::contrastRatio(ink, row->palette().color(QPalette::Window)), 4.5);
    }
    if (!saveTo.isEmpty()) shot.save(saveTo + QStringLiteral("/images-%1.png").arg(name));
  }
  QApplication::setPalette(QApplication::style()->standardPalette());
}
