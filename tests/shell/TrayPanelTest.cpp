// The popover's content on the offscreen platform, with the model objects on
// fakes: check marks, what each row and camera-menu item does, the extension
// status texts and the data-folder problem.
#include <QAccessible>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QToolButton>

#include "app/settings/SettingsStyle.h"
#include "app/shell/DesktopPalette.h"
#include "app/shell/PopoverWindow.h"
#include "app/shell/RemoteControl.h"
#include "app/shell/Strings.h"
#include "app/shell/TrayPanel.h"
#include "tests/fakes/FakeDesktopAppearance.h"
#include "tests/shell/PopoverFixture.h"
#include "tests/shell/QtTestApp.h"

using namespace tovrelle;
using Case = CameraServiceInstaller::Status::Case;

namespace {

class TrayPanelTest : public test::PopoverFixture {
 protected:
  void SetUp() override {
    PopoverFixture::SetUp();
    static const bool strings = strings::install(*QCoreApplication::instance());
    ASSERT_TRUE(strings);
  }
  void TearDown() override {
    view_.reset();
    PopoverFixture::TearDown();
  }

  void build(bool canCheckForUpdates = true) {
    view_ = std::make_unique<TrayPanel>(
        TrayPanel::Models{&camera(), &images(), &devices(), &installer(), &preview(), &permission(),
                          [this] { ++quits_; }, &cameraFeed()},
        [this] { ++settingsOpened_; }, [this] { ++installs_; }, [this] { ++updateChecks_; }, canCheckForUpdates);
  }

  // Runs the model's queues and the view's redraws until everything is quiet.
  void settle() {
    for (int i = 0; i < 3; ++i) {
      scheduler_.drainAll();
      QCoreApplication::processEvents();
    }
  }

  PopoverRow* row(const char* name) const { return view_->findChild<PopoverRow*>(name); }
  QList<PopoverRow*> imageRows() const {
    auto* group = view_->findChild<QWidget*>("imageGroup");
    return group ? group->findChildren<PopoverRow*>("imageRow") : QList<PopoverRow*>{};
  }
  // Which of the off, on and image rows carry the check mark.
  QStringList checked() const {
    QStringList out;
    for (const char* name : {"offRow", "onRow"})
      if (row(name)->isChecked()) out << name;
    for (PopoverRow* r : imageRows())
      if (r->isChecked()) out << r->title();
    return out;
  }
  QList<QAction*> menuItems() const { return view_->cameraMenu()->actions(); }
  QAction* menuItem(const QString& title) const {
    for (QAction* a : menuItems())
      if (a->text() == title) return a;
    return nullptr;
  }

  std::unique_ptr<TrayPanel> view_;
  int settingsOpened_ = 0, installs_ = 0, updateChecks_ = 0, quits_ = 0;
};

}  // namespace

TEST_F(TrayPanelTest, CheckMarksFollowTheModeAndTheSelection) {
  const Uuid beach = addLibraryPicture("Beach", solid(40, 30, Qt::yellow));
  addLibraryPicture("Office", solid(40, 30, Qt::gray));
  build();
  settle();
  EXPECT_EQ(checked(), QStringList{"offRow"});

  camera().turnOn();  // as from a global shortcut: the open popover follows
  settle();
  EXPECT_EQ(checked(), QStringList{"onRow"});

  camera().selectImage(beach);
  settle();
  EXPECT_EQ(checked(), QStringList{"Beach"});

  // An image id the library no longer has: nothing is checked.
  camera().selectImage(Uuid::random());
  settle();
  EXPECT_EQ(checked(), QStringList{});

  // Accessibility: a button named by its title, checked exactly when the row is.
  camera().selectImage(beach);
  settle();
  for (PopoverRow* r : {row("offRow"), row("onRow"), imageRows()[0], imageRows()[1], row("quitRow")}) {
    QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(r);
    ASSERT_TRUE(a11y);
    EXPECT_EQ(a11y->role(), QAccessible::Button);
    EXPECT_EQ(a11y->text(QAccessible::Name), r->title());
    EXPECT_EQ(a11y->state().checked, r->isChecked()) << r->title().toStdString();
    EXPECT_EQ(a11y->childCount(), 0);
  }
}

TEST_F(TrayPanelTest, RowsActAtOnceAndClickingDoesNotFlipTheirMarks) {
  const Uuid office = addLibraryPicture("Office", solid(40, 30, Qt::gray));
  capture_->setAuthorizationStatus(capture::AuthorizationStatus::denied);
  build(false);
  view_->show();
  settle();

  // The choice is on disk for the camera before the event loop turns again.
  QTest::mouseClick(row("onRow"), Qt::LeftButton, {}, QPoint(200, 5));  // the empty part counts too
  EXPECT_EQ(camera().currentMode(), CameraMode::camera);
  EXPECT_EQ(readState(), R"({"mode":"camera"})");
  QTest::mouseClick(row("onRow"), Qt::LeftButton);  // clicking the checked row again keeps it on
  settle();
  EXPECT_EQ(checked(), QStringList{"onRow"});
  QTest::mouseClick(imageRows()[0], Qt::LeftButton);
  EXPECT_EQ(camera().currentMode(), CameraMode::image);
  EXPECT_EQ(camera().selectedImageId(), office);
  EXPECT_EQ(readState(), encodeCameraState({CameraMode::image, office, std::nullopt}));
  QTest::mouseClick(row("offRow"), Qt::LeftButton);
  EXPECT_EQ(camera().currentMode(), CameraMode::off);
  EXPECT_EQ(readState(), R"({"mode":"off"})");
  settle();
  EXPECT_EQ(checked(), QStringList{"offRow"});

  QTest::mouseClick(row("settingsRow"), Qt::LeftButton);
  QTest::mouseClick(row("quitRow"), Qt::LeftButton);
  QTest::mouseClick(row("installRow"), Qt::LeftButton);
  QTest::mouseClick(row("openPrivacySettingsRow"), Qt::LeftButton);
  // This build names no update page: the row says where updates come from, disabled.
  ASSERT_TRUE(row("updateRow"));
  EXPECT_FALSE(row("updateRow")->isEnabled());
  EXPECT_EQ(row("updateRow")->title(), "Updated by your system");
  EXPECT_TRUE(row("updateRow")->toolTip().contains("software updates"));
  QTest::mouseClick(row("updateRow"), Qt::LeftButton);
  EXPECT_EQ(settingsOpened_, 1);
  EXPECT_EQ(quits_, 1);
  EXPECT_EQ(installs_, 1);
  EXPECT_EQ(updateChecks_, 0);
  EXPECT_EQ(opener_->opened, std::vector<std::string>{urls::kCameraPrivacySettingsURL});

  build(true);
  view_->show();
  settle();
  EXPECT_TRUE(row("updateRow")->isEnabled());
  QTest::mouseClick(row("updateRow"), Qt::LeftButton);
  EXPECT_EQ(updateChecks_, 1);
}

TEST_F(TrayPanelTest, AChoiceClosesThePopoverAsAMenuDoes) {
  const Uuid beach = addLibraryPicture("Beach", solid(40, 30, Qt::yellow));
  capture_->addDevice("cam-a", "Desk Cam");
  build();
  PopoverWindow popover(view_.get());
  auto open = [&] {
    popover.showRelativeTo(QRect(600, 0, 24, 24));
    settle();
    return popover.isVisible();
  };

  ASSERT_TRUE(open());
  QTest::mouseClick(row("onRow"), Qt::LeftButton);
  EXPECT_EQ(camera().currentMode(), CameraMode::camera);
  EXPECT_FALSE(popover.isVisible());

  ASSERT_TRUE(open());
  QTest::mouseClick(imageRows()[0], Qt::LeftButton);
  EXPECT_EQ(camera().selectedImageId(), beach);
  EXPECT_FALSE(popover.isVisible());

  ASSERT_TRUE(open());
  menuItem("Desk Cam")->trigger();
  EXPECT_EQ(camera().selectedCameraId(), std::optional<std::string>("cam-a"));
  EXPECT_FALSE(popover.isVisible());

  ASSERT_TRUE(open());
  QTest::keyClick(row("offRow"), Qt::Key_Return);
  EXPECT_EQ(camera().currentMode(), CameraMode::off);
  EXPECT_FALSE(popover.isVisible());

  // Rows that open something else are not a choice of what the camera shows.
  ASSERT_TRUE(open());
  QTest::mouseClick(row("installRow"), Qt::LeftButton);
  EXPECT_EQ(installs_, 1);
  EXPECT_TRUE(popover.isVisible());
  popover.hide();
  view_->setParent(nullptr);  // the fixture owns the view
}

// The strongest contrast ratio between a pixel of `area` and the button's own ground.
double strongestContrast(const QImage& image, const QRect& area, const QColor& ground) {
  double strongest = 1;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      strongest = std::max(strongest, settings::contrastRatio(image.pixelColor(x, y), ground));
  return strongest;
}

TEST_F(TrayPanelTest, TheDesktopsDarkPreferenceSwitchesThePaletteAndTheCameraMenuKeepsItsArrow) {
  const QPalette light = QApplication::palette();
  test::FakeDesktopAppearance desktop;
  {
    DesktopPalette follower(desktop);
    EXPECT_FALSE(follower.isDark());
    desktop.set(appearance::ColorScheme::dark);
    EXPECT_TRUE(follower.isDark());
    EXPECT_LT(QApplication::palette().color(QPalette::Window).lightness(), 80);

    build();
    view_->show();
    settle();
    QToolButton* button = view_->cameraMenuButton();
    const QImage shot = button->grab().toImage();
    shot.save(QString::fromUtf8(::testing::TempDir().c_str()) + "camera-menu-dark.png");
    const QColor ground = shot.pixelColor(1, shot.height() / 2);
    EXPECT_LT(ground.lightness(), 80) << "the button sits on the dark window";
    // Where the style puts a tool button's menu arrow (the bottom-right corner); a part
    // of the interface needs at least 3:1 against its ground to be seen.
    const int mbi = button->style()->pixelMetric(QStyle::PM_MenuButtonIndicator, nullptr, button);
    const QRect arrowArea(shot.width() - 1 + 5 - mbi, shot.height() - mbi + 4, mbi - 6, mbi - 6);
    ASSERT_FALSE(arrowArea.isEmpty());
    EXPECT_GE(strongestContrast(shot, arrowArea.intersected(shot.rect()), ground), 3.0);

    desktop.set(appearance::ColorScheme::light);
    EXPECT_FALSE(follower.isDark());
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), light.color(QPalette::Window));
    view_.reset();
  }
  QApplication::setPalette(light);
}

TEST_F(TrayPanelTest, TheCameraMenuListsTheDefaultAndTheDiscoveredCameras) {
  build();
  settle();
  // Nothing discovered: only the default item, checked, and no divider.
  ASSERT_EQ(menuItems().size(), 1);
  EXPECT_EQ(menuItems()[0]->text(), qtTrId("camera.default"));
  EXPECT_FALSE(menuItems()[0]->icon().isNull());
  EXPECT_EQ(view_->cameraMenuButton()->text(), qtTrId("menu.selectCamera"));
  EXPECT_TRUE(view_->cameraMenuButton()->isEnabled());

  // Cameras plugged in while the popover is open appear in discovery order; our own camera never does.
  capture_->addDevice("cam-a", "Desk Cam");
  capture_->addDevice("own", "Tovrelle");
  capture_->addDevice("cam-b", "Document Cam");
  settle();
  QStringList titles;
  for (QAction* a : menuItems()) titles << (a->isSeparator() ? QString("---") : a->text());
  EXPECT_EQ(titles, (QStringList{qtTrId("camera.default"), "---", "Desk Cam", "Document Cam"}));

  select("cam-b");
  settle();
  EXPECT_TRUE(menuItem(qtTrId("camera.default"))->icon().isNull());
  EXPECT_TRUE(menuItem("Desk Cam")->icon().isNull());
  EXPECT_FALSE(menuItem("Document Cam")->icon().isNull());
  EXPECT_EQ(menuItem("Document Cam")->data().toString(), "cam-b");

  // Unplugged: gone from the menu; the divider goes with the last camera.
  capture_->removeDevice("cam-a");
  capture_->removeDevice("cam-b");
  settle();
  ASSERT_EQ(menuItems().size(), 1);
}

TEST_F(TrayPanelTest, ChoosingACameraWritesTheStateAndTurnsOnOnlyWhenNeeded) {
  camera().selectImage(addLibraryPicture("Beach", solid(40, 30, Qt::yellow)));
  capture_->addDevice("cam-a", "Desk Cam");
  capture_->addDevice("cam-b", "Document Cam");
  build();
  settle();
  QSignalSpy modeChanges(&camera(), &CameraManager::currentModeChanged);
  auto writes = [&] { return countStartingWith(takeLines(), "CameraManager: wrote state"); };
  writes();

  // In image mode: the camera is chosen and the virtual camera switched on,
  // in one write, so the camera never reads the one without the other.
  menuItem("Desk Cam")->trigger();
  EXPECT_EQ(readState(), R"({"mode":"camera","selectedCameraId":"cam-a"})");
  EXPECT_EQ(writes(), 1);
  EXPECT_EQ(modeChanges.count(), 1);
  settle();
  EXPECT_EQ(checked(), QStringList{"onRow"});
  writes();

  // Already in camera mode: one write, and the mode is not published again.
  menuItem("Document Cam")->trigger();
  EXPECT_EQ(writes(), 1);
  EXPECT_EQ(readState(), R"({"mode":"camera","selectedCameraId":"cam-b"})");
  // The default item, chosen twice: each time the state is written, even when nothing changed.
  menuItem(qtTrId("camera.default"))->trigger();
  settle();
  menuItem(qtTrId("camera.default"))->trigger();
  EXPECT_EQ(writes(), 2);
  EXPECT_EQ(modeChanges.count(), 1);
  EXPECT_EQ(readState(), R"({"mode":"camera"})");
}

TEST_F(TrayPanelTest, TheExtensionGroupShowsTheStatusAndGoesOnceActivated) {
  build();
  settle();
  auto statusText = [&] { return view_->findChild<QLabel*>("serviceStatusText")->text(); };
  EXPECT_EQ(statusText(), qtTrId("serviceStatus.idle"));
  EXPECT_TRUE(row("installRow")->isEnabled());

  // Requesting: the install row is disabled.
  installer().install(true);  // no answer comes
  settle();
  ASSERT_EQ(installer().status().kind, Case::starting);
  EXPECT_EQ(statusText(), qtTrId("serviceStatus.requesting"));
  EXPECT_FALSE(row("installRow")->isEnabled());
  QTest::mouseClick(row("installRow"), Qt::LeftButton);
  EXPECT_EQ(installs_, 0);

  // A failure with its message: retrying is possible.
  installer_.reset();
  service_->scriptNextInstall(test::FakeCameraService::fail(4));
  build();
  installer().install(true);
  settle();
  ASSERT_EQ(installer().status().kind, Case::failed);
  const QString message = installer().status().failure->message;
  ASSERT_FALSE(message.isEmpty());
  EXPECT_EQ(statusText(), qtTrId("serviceStatus.failed").arg(message));
  EXPECT_TRUE(statusText().contains(message));
  EXPECT_TRUE(row("installRow")->isEnabled());

  // Activated while shown: the group leaves.
  service_->scriptNextInstall(test::FakeCameraService::succeed());
  installer().install(true);
  settle();
  ASSERT_EQ(installer().status().kind, Case::running);
  EXPECT_FALSE(view_->findChild<QLabel*>("serviceStatusText"));
  EXPECT_FALSE(row("installRow"));
}

TEST_F(TrayPanelTest, ADataFolderThatRefusesTheStateIsToldUntilTheHeartbeatWritesIt) {
  build();
  settle();
  EXPECT_FALSE(view_->findChild<QLabel*>("dataFolderProblemText"));
  // A folder in the way of state.json: the camera keeps the old mode.
  const std::filesystem::path state = stateFilePath();
  std::filesystem::remove(state);
  std::filesystem::create_directories(state / "blocker");
  QTest::mouseClick(row("onRow"), Qt::LeftButton);
  settle();
  auto* text = view_->findChild<QLabel*>("dataFolderProblemText");
  ASSERT_TRUE(text);
  EXPECT_TRUE(text->text().contains(QString::fromStdString(state.parent_path().string())));
  EXPECT_TRUE(text->text().contains(qtTrId("menu.dataFolder.stateBehind")));

  std::filesystem::remove_all(state);
  scheduler_.advance(std::chrono::seconds(1));
  settle();
  EXPECT_FALSE(view_->findChild<QLabel*>("dataFolderProblemText"));
}

// Camera on with nothing to pass through: the preview says why it is black, and what others see.
TEST_F(TrayPanelTest, ThePreviewSaysWhyCameraModeShowsNoPicture) {
  build();
  view_->show();
  settle();
  EXPECT_EQ(view_->previewNotice(), "");

  camera().turnOn();
  settle();
  EXPECT_EQ(view_->previewNotice(), "No camera is connected");
  EXPECT_EQ(view_->previewArea()->accessibleName(), "No camera is connected");
  // The words are drawn: white ink in the middle of the black preview.
  const QImage shot = view_->previewArea()->grab().toImage();
  int light = 0;
  for (int y = shot.height() / 3; y < 2 * shot.height() / 3; ++y)
    for (int x = 0; x < shot.width(); ++x) light += qGray(shot.pixel(x, y)) > 200;
  EXPECT_GT(light, 30);

  // A camera arrives: the service's word decides, and it says the picture arrives.
  feed_->state = camera::FeedState::live;
  capture_->addDevice("cam-a", "Desk Cam");
  settle();
  EXPECT_EQ(view_->previewNotice(), "");

  // It stops sending: the open popover asks again and says so.
  feed_->state = camera::FeedState::stalled;
  scheduler_.advance(CameraFeedStatus::kWatchInterval);
  settle();
  EXPECT_EQ(view_->previewNotice(), "The camera stopped sending pictures");

  // Off: nothing to explain.
  camera().turnOff();
  settle();
  EXPECT_EQ(view_->previewNotice(), "");

  // The chosen camera unplugged, whatever the service last said.
  feed_->state = camera::FeedState::live;
  select("cam-a");
  camera().turnOn();
  settle();
  EXPECT_EQ(view_->previewNotice(), "");
  capture_->addDevice("cam-b", "Other Cam");
  capture_->removeDevice("cam-a");
  settle();
  EXPECT_EQ(view_->previewNotice(), "The chosen camera is not connected");
}

// The service is asked only in camera mode, and on a clock only while the popover is open.
TEST_F(TrayPanelTest, TheCameraServiceIsAskedOnlyWhileThePopoverIsOpenInCameraMode) {
  capture_->addDevice("cam-a", "Desk Cam");
  build();
  settle();
  const int atStart = feed_->looks;
  scheduler_.advance(10 * CameraFeedStatus::kWatchInterval);
  settle();
  EXPECT_EQ(feed_->looks, atStart) << "camera off: nothing to ask";

  camera().turnOn();
  settle();
  scheduler_.advance(CameraFeedStatus::kSettleDelay);
  settle();
  const int afterChange = feed_->looks;
  EXPECT_GT(afterChange, atStart);
  scheduler_.advance(10 * CameraFeedStatus::kWatchInterval);
  settle();
  EXPECT_EQ(feed_->looks, afterChange) << "popover closed: no clock";

  view_->show();
  settle();
  scheduler_.advance(3 * CameraFeedStatus::kWatchInterval);
  settle();
  EXPECT_GE(feed_->looks, afterChange + 3);
  view_->hide();
  settle();
  const int closed = feed_->looks;
  scheduler_.advance(10 * CameraFeedStatus::kWatchInterval);
  settle();
  EXPECT_EQ(feed_->looks, closed);
}

// The command line's answer does not claim to show a camera that is not there.
TEST_F(TrayPanelTest, TheCommandLineSaysWhenNoCameraIsConnected) {
  RemoteControl::Models models{camera(), images(), devices()};
  settle();
  auto reply = RemoteControl::handle(models, "camera", "default");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->text.toStdString(), "Tovrelle camera: on, but no camera is connected (other apps see black)");

  capture_->addDevice("cam-a", "Desk Cam");
  settle();
  reply = RemoteControl::handle(models, "camera", "default");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->text.toStdString(), "Tovrelle camera: on, showing the default camera");
  reply = RemoteControl::handle(models, "camera", "Desk Cam");
  EXPECT_EQ(reply->text.toStdString(), "Tovrelle camera: on, showing Desk Cam");
  capture_->removeDevice("cam-a");
  settle();
  EXPECT_EQ(RemoteControl::describe(models).toStdString(),
            "Tovrelle camera: on, but no camera is connected (other apps see black)");
}
