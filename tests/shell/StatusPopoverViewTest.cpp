// The popover's content on the offscreen platform, with the model objects on
// fakes: which children it has under each condition and in what order, its
// geometry, check marks, what each row and camera-menu item does, the
// extension status texts, titles cut to one line, thumbnails, the hover
// highlight, the preview area's pixels, and how it follows the model while
// it is shown.
#include <QAccessible>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/shell/StatusPopoverView.h"
#include "app/shell/Strings.h"
#include "tests/shell/PopoverFixture.h"
#include "tests/shell/QtTestApp.h"

using namespace tovrelle;
using Case = SystemExtensionInstaller::Status::Case;

namespace {

QStringList namesIn(const QLayout* layout) {
  QStringList names;
  for (int i = 0; i < layout->count(); ++i)
    if (QWidget* w = layout->itemAt(i)->widget()) names << w->objectName();
  return names;
}

QColor blend(QColor under, QColor over, double alpha) {
  return QColor::fromRgbF(under.redF() * (1 - alpha) + over.redF() * alpha,
                          under.greenF() * (1 - alpha) + over.greenF() * alpha,
                          under.blueF() * (1 - alpha) + over.blueF() * alpha);
}

bool near(QColor a, QColor b, int tolerance = 3) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

QColor pixel(QWidget* widget, QPoint at) {
  const QImage image = widget->grab().toImage();
  return QColor(image.pixel(at * image.devicePixelRatio()));
}

class StatusPopoverViewTest : public test::PopoverFixture {
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

  StatusPopoverView& build(bool canCheckForUpdates = true, bool offersUpdates = true) {
    StatusPopoverView::Models models{&camera(),  &images(),  &devices(), &installer(),
                                     &preview(), &permission(), [this] { ++quits_; }};
    std::function<void()> onCheck;
    if (offersUpdates) onCheck = [this] { ++updateChecks_; };
    view_ = std::make_unique<StatusPopoverView>(
        models, [this] { ++settingsOpened_; }, [this] { ++installs_; }, onCheck, canCheckForUpdates);
    return *view_;
  }

  // Runs the model's queues and the view's redraws until everything is quiet.
  void settle() {
    for (int i = 0; i < 3; ++i) {
      scheduler_.drainAll();
      QCoreApplication::processEvents();
    }
  }

  QStringList children() const { return namesIn(view_->layout()); }
  QStringList childrenOf(const char* group) const {
    auto* w = view_->findChild<QWidget*>(group);
    return w ? namesIn(w->layout()) : QStringList{"<absent>"};
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

  void activateExtension() {
    extensions_->scriptNextActivation({test::FakeExtensionManager::finish(sysext::kRequestCompleted)});
    installer().activate(true);
    settle();
    ASSERT_EQ(installer().status().kind, Case::activated);
  }

  std::unique_ptr<StatusPopoverView> view_;
  int settingsOpened_ = 0, installs_ = 0, updateChecks_ = 0, quits_ = 0;
};

}  // namespace

TEST_F(StatusPopoverViewTest, ChildrenComeInTheirOrderAndOnlyUnderTheirConditions) {
  // Empty library, camera access allowed, extension not installed.
  build();
  settle();
  EXPECT_EQ(children(), (QStringList{"previewArea", "divider", "modeGroup", "divider", "divider", "appGroup",
                                     "divider", "extensionGroup"}));  // two dividers in a row are kept
  EXPECT_EQ(childrenOf("modeGroup"), (QStringList{"offRow", "onRow", "cameraMenuHolder"}));
  EXPECT_EQ(childrenOf("appGroup"), (QStringList{"settingsRow", "updateRow", "quitRow"}));
  EXPECT_EQ(childrenOf("extensionGroup"), (QStringList{"extensionStatusText", "installRow"}));
  EXPECT_EQ(childrenOf("cameraPermissionBlock"), QStringList{"<absent>"});
  EXPECT_EQ(childrenOf("imageGroup"), QStringList{"<absent>"});

  // Access denied, a library, the extension active.
  addLibraryPicture("Beach", solid(40, 30, Qt::yellow));
  addLibraryPicture("Office", solid(40, 30, Qt::gray));
  activateExtension();
  capture_->setAuthorizationStatus(capture::AuthorizationStatus::denied);
  permission().refresh();
  settle();
  EXPECT_EQ(children(), (QStringList{"previewArea", "divider", "cameraPermissionBlock", "divider", "modeGroup",
                                     "divider", "imageGroup", "divider", "appGroup"}));
  EXPECT_EQ(childrenOf("cameraPermissionBlock"), (QStringList{"cameraPermissionCaption", "openPrivacySettingsRow"}));
  EXPECT_EQ(childrenOf("imageGroup"), (QStringList{"imageRow", "imageRow"}));
  auto* caption = view_->findChild<QLabel*>("cameraPermissionCaption");
  EXPECT_EQ(caption->text(), qtTrId("menu.cameraPermission.denied"));
  EXPECT_TRUE(caption->wordWrap());
  EXPECT_LT(caption->font().pointSizeF(), view_->font().pointSizeF());
  const QColor red = caption->palette().color(QPalette::WindowText);
  EXPECT_GT(red.red(), 180);
  EXPECT_LT(red.green(), 80);
  EXPECT_EQ(row("openPrivacySettingsRow")->title(), qtTrId("menu.cameraPermission.openSettings"));

  // Restricted counts as denied; allowed again removes the block and its divider.
  capture_->setAuthorizationStatus(capture::AuthorizationStatus::restricted);
  permission().refresh();
  settle();
  EXPECT_EQ(children().mid(0, 4), (QStringList{"previewArea", "divider", "cameraPermissionBlock", "divider"}));
  capture_->setAuthorizationStatus(capture::AuthorizationStatus::authorized);
  permission().refresh();
  settle();
  EXPECT_EQ(children(),
            (QStringList{"previewArea", "divider", "modeGroup", "divider", "imageGroup", "divider", "appGroup"}));

  // Without an update callback there is no update row.
  build(true, false);
  EXPECT_EQ(childrenOf("appGroup"), (QStringList{"settingsRow", "quitRow"}));
}

TEST_F(StatusPopoverViewTest, GeometryFollowsTheWidthsSpacingsAndPaddings) {
  addLibraryPicture("Beach", solid(40, 30, Qt::yellow));
  addLibraryPicture("Office", solid(40, 30, Qt::gray));
  capture_->setAuthorizationStatus(capture::AuthorizationStatus::denied);
  build();
  view_->show();
  settle();
  EXPECT_EQ(view_->width(), 260);
  EXPECT_EQ(view_->previewArea()->geometry(), QRect(12, 12, 236, 135));

  // Children 8 apart; the last one ends 12 above the bottom.
  QVBoxLayout* stack = qobject_cast<QVBoxLayout*>(view_->layout());
  QWidget* previous = nullptr;
  for (int i = 0; i < stack->count(); ++i) {
    QWidget* child = stack->itemAt(i)->widget();
    EXPECT_EQ(child->x(), 12) << child->objectName().toStdString();
    EXPECT_EQ(child->width(), 236) << child->objectName().toStdString();
    if (previous) {
      EXPECT_EQ(child->y(), previous->geometry().bottom() + 1 + 8) << child->objectName().toStdString();
    }
    if (child->objectName() == "divider") {
      EXPECT_EQ(child->height(), 1);
    }
    previous = child;
  }
  EXPECT_EQ(view_->height(), previous->geometry().bottom() + 1 + 12);

  // Rows 2 apart inside groups, 4 apart inside the permission and extension blocks.
  auto gapsIn = [&](const char* name) {
    QList<int> gaps;
    QLayout* l = view_->findChild<QWidget*>(name)->layout();
    for (int i = 1; i < l->count(); ++i)
      gaps << l->itemAt(i)->widget()->y() - l->itemAt(i - 1)->widget()->geometry().bottom() - 1;
    return gaps;
  };
  EXPECT_EQ(gapsIn("modeGroup"), (QList<int>{2, 2}));
  EXPECT_EQ(gapsIn("imageGroup"), (QList<int>{2}));
  EXPECT_EQ(gapsIn("appGroup"), (QList<int>{2, 2}));
  EXPECT_EQ(gapsIn("cameraPermissionBlock"), (QList<int>{4}));
  EXPECT_EQ(gapsIn("extensionGroup"), (QList<int>{4}));

  // A row: 3 above and below a one-line title, 6 at the sides, the title after the 12-wide check column.
  PopoverRow* off = row("offRow");
  EXPECT_EQ(off->width(), 236);
  EXPECT_EQ(off->height(), QFontMetrics(off->font()).height() + 6);
  EXPECT_EQ(off->titleRect().left(), 6 + 12 + 6);
  EXPECT_EQ(off->titleRect().right(), 236 - 6 - 1);
  EXPECT_EQ(imageRows()[0]->titleRect().left(), 6 + 12 + 6 + 16 + 6);
  // The camera menu has one point above and below it.
  QWidget* holder = view_->findChild<QWidget*>("cameraMenuHolder");
  EXPECT_EQ(view_->cameraMenuButton()->geometry().top(), 1);
  EXPECT_EQ(holder->height(), view_->cameraMenuButton()->height() + 2);
}

TEST_F(StatusPopoverViewTest, CheckMarksFollowTheModeAndTheSelection) {
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
  EXPECT_TRUE(imageRows()[0]->isChecked());
  EXPECT_EQ(imageRows()[0]->property("imageId").toString().toStdString(), beach.toString());
}

TEST_F(StatusPopoverViewTest, RowsActAtOnceAndClickingDoesNotFlipTheirMarks) {
  const Uuid office = addLibraryPicture("Office", solid(40, 30, Qt::gray));
  capture_->setAuthorizationStatus(capture::AuthorizationStatus::denied);
  build(false);
  view_->show();
  settle();

  QTest::mouseClick(row("onRow"), Qt::LeftButton, {}, QPoint(200, 5));  // the empty part counts too
  EXPECT_EQ(camera().currentMode(), CameraMode::camera);
  QTest::mouseClick(row("onRow"), Qt::LeftButton);  // clicking the checked row again keeps it on
  settle();
  EXPECT_EQ(checked(), QStringList{"onRow"});
  QTest::mouseClick(imageRows()[0], Qt::LeftButton);
  EXPECT_EQ(camera().currentMode(), CameraMode::image);
  EXPECT_EQ(camera().selectedImageId(), office);
  QTest::mouseClick(row("offRow"), Qt::LeftButton);
  EXPECT_EQ(camera().currentMode(), CameraMode::off);
  settle();
  EXPECT_EQ(checked(), QStringList{"offRow"});

  QTest::mouseClick(row("settingsRow"), Qt::LeftButton);
  QTest::mouseClick(row("quitRow"), Qt::LeftButton);
  QTest::mouseClick(row("installRow"), Qt::LeftButton);
  QTest::mouseClick(row("openPrivacySettingsRow"), Qt::LeftButton);
  // Updates cannot be checked in this popover: the row is there, disabled.
  ASSERT_TRUE(row("updateRow"));
  EXPECT_FALSE(row("updateRow")->isEnabled());
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

TEST_F(StatusPopoverViewTest, TheCameraMenuListsTheDefaultAndTheDiscoveredCameras) {
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

  // A phone camera is listed with the suffix text; its mark goes by its id only.
  CameraInfo phone{"cam-p", "Pocket", true};
  EXPECT_EQ(StatusPopoverView::cameraTitle(phone), qtTrId("camera.continuitySuffix").arg("Pocket"));
  EXPECT_EQ(StatusPopoverView::cameraTitle(phone), "Pocket (Phone)");
  EXPECT_EQ(StatusPopoverView::cameraTitle(CameraInfo{"cam-a", "Desk Cam", false}), "Desk Cam");

  // Unplugged: gone from the menu; the divider goes with the last camera.
  capture_->removeDevice("cam-a");
  capture_->removeDevice("cam-b");
  settle();
  ASSERT_EQ(menuItems().size(), 1);
}

TEST_F(StatusPopoverViewTest, ChoosingACameraWritesTheStateAndTurnsOnOnlyWhenNeeded) {
  const Uuid beach = addLibraryPicture("Beach", solid(40, 30, Qt::yellow));
  capture_->addDevice("cam-a", "Desk Cam");
  capture_->addDevice("cam-b", "Document Cam");
  camera().selectImage(beach);
  build();
  settle();
  takeLines();
  QSignalSpy modeChanges(&camera(), &CameraManager::currentModeChanged);

  // In image mode: the camera is chosen and the virtual camera switched on.
  menuItem("Desk Cam")->trigger();
  EXPECT_EQ(camera().currentMode(), CameraMode::camera);
  EXPECT_EQ(camera().selectedCameraId(), std::optional<std::string>("cam-a"));
  EXPECT_EQ(camera().selectedImageId(), std::nullopt);
  EXPECT_EQ(takeLines(),
            (std::vector<std::string>{"CameraManager: wrote state mode=image image=" + beach.toString() + " camera=cam-a",
                                      "CameraManager: wrote state mode=camera image=nil camera=cam-a"}));
  EXPECT_EQ(readState(), R"({"mode":"camera","selectedCameraId":"cam-a"})");
  EXPECT_EQ(modeChanges.count(), 1);
  settle();
  EXPECT_EQ(checked(), QStringList{"onRow"});

  // Already in camera mode: one write, and turnOn() is not called (the mode is not published again).
  modeChanges.clear();
  menuItem("Document Cam")->trigger();
  EXPECT_EQ(takeLines(), (std::vector<std::string>{"CameraManager: wrote state mode=camera image=nil camera=cam-b"}));
  EXPECT_EQ(modeChanges.count(), 0);
  settle();

  // The default item, chosen twice: each time the state is written, even when nothing changed.
  menuItem(qtTrId("camera.default"))->trigger();
  settle();
  menuItem(qtTrId("camera.default"))->trigger();
  EXPECT_EQ(takeLines(), (std::vector<std::string>{"CameraManager: wrote state mode=camera image=nil camera=nil",
                                                   "CameraManager: wrote state mode=camera image=nil camera=nil"}));
  EXPECT_EQ(modeChanges.count(), 0);
  EXPECT_EQ(readState(), R"({"mode":"camera"})");

  // From off, the default item switches on too.
  camera().turnOff();
  settle();
  takeLines();
  menuItem(qtTrId("camera.default"))->trigger();
  EXPECT_EQ(takeLines(), (std::vector<std::string>{"CameraManager: wrote state mode=off image=nil camera=nil",
                                                   "CameraManager: wrote state mode=camera image=nil camera=nil"}));
}

TEST_F(StatusPopoverViewTest, TheExtensionGroupShowsTheStatusAndGoesOnceActivated) {
  build();
  settle();
  auto statusText = [&] { return view_->findChild<QLabel*>("extensionStatusText")->text(); };
  EXPECT_EQ(statusText(), qtTrId("extensionStatus.idle"));
  EXPECT_TRUE(row("installRow")->isEnabled());
  EXPECT_EQ(row("installRow")->title(), qtTrId("menu.installExtension"));
  EXPECT_TRUE(view_->findChild<QLabel*>("extensionStatusText")->wordWrap());

  // Requesting: the install row is disabled.
  installer().activate(true);  // no answer comes
  settle();
  ASSERT_EQ(installer().status().kind, Case::requesting);
  EXPECT_EQ(statusText(), qtTrId("extensionStatus.requesting"));
  EXPECT_FALSE(row("installRow")->isEnabled());
  QTest::mouseClick(row("installRow"), Qt::LeftButton);
  EXPECT_EQ(installs_, 0);

  // Approval needed, then a failure with its message: retrying is possible.
  installer_.reset();
  extensions_->scriptNextActivation({test::FakeExtensionManager::needsApproval()});
  build();
  installer().activate(true);
  settle();
  EXPECT_EQ(statusText(), qtTrId("extensionStatus.needsUserApproval"));
  installer_.reset();
  extensions_->scriptNextActivation({test::FakeExtensionManager::fail(4)});
  build();
  installer().activate(true);
  settle();
  ASSERT_EQ(installer().status().kind, Case::failed);
  const QString message = installer().status().failure->message;
  ASSERT_FALSE(message.isEmpty());
  EXPECT_EQ(statusText(), qtTrId("extensionStatus.failed").arg(message));
  EXPECT_TRUE(statusText().contains(message));
  EXPECT_TRUE(row("installRow")->isEnabled());

  // Activated while shown: the group and its divider leave.
  extensions_->scriptNextActivation({test::FakeExtensionManager::finish(sysext::kRequestCompleted)});
  installer().activate(true);
  settle();
  ASSERT_EQ(installer().status().kind, Case::activated);
  EXPECT_EQ(children().last(), "appGroup");
  EXPECT_FALSE(view_->findChild<QLabel*>("extensionStatusText"));
  EXPECT_FALSE(row("installRow"));
  EXPECT_TRUE(StatusPopoverView::extensionStatusText(SystemExtensionInstaller::Status::activated()).isEmpty());
}

TEST_F(StatusPopoverViewTest, ADataFolderThatRefusesTheStateIsToldUntilTheHeartbeatWritesIt) {
  build();
  settle();
  EXPECT_FALSE(view_->findChild<QLabel*>("dataFolderProblemText"));
  // A folder in the way of state.json: the camera keeps the old mode.
  const std::filesystem::path state = stateFileURL();
  std::filesystem::remove(state);
  std::filesystem::create_directories(state / "blocker");
  QTest::mouseClick(row("onRow"), Qt::LeftButton);
  settle();
  auto* text = view_->findChild<QLabel*>("dataFolderProblemText");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->text(), StatusPopoverView::dataFolderProblemText(*camera().dataFolderProblem()));
  EXPECT_TRUE(text->text().contains(QString::fromStdString(state.parent_path().string())));
  EXPECT_TRUE(text->text().contains(qtTrId("menu.dataFolder.stateBehind")));

  std::filesystem::remove_all(state);
  scheduler_.advance(std::chrono::seconds(1));
  settle();
  EXPECT_FALSE(view_->findChild<QLabel*>("dataFolderProblemText"));
}

TEST_F(StatusPopoverViewTest, ALongTitleIsCutToOneLineWithTheWholeTitleAsToolTip) {
  const std::string longName =
      "Holiday at the lake with the whole family and the neighbours' dog, second afternoon, wide shot";
  addLibraryPicture(longName, solid(40, 30, Qt::yellow));
  addLibraryPicture("Short", solid(40, 30, Qt::gray));
  build();
  view_->show();
  settle();
  EXPECT_EQ(view_->width(), 260);
  PopoverRow* longRow = imageRows()[0];
  const QString title = QString::fromStdString(longName);
  EXPECT_EQ(longRow->title(), title);
  EXPECT_EQ(longRow->width(), 236);
  EXPECT_EQ(longRow->height(), imageRows()[1]->height());  // one line
  EXPECT_NE(longRow->displayedTitle(), title);
  EXPECT_TRUE(longRow->displayedTitle().endsWith(QChar(0x2026)));
  EXPECT_LE(QFontMetrics(longRow->font()).horizontalAdvance(longRow->displayedTitle()), longRow->titleRect().width());
  EXPECT_EQ(longRow->toolTip(), title);
  EXPECT_EQ(longRow->accessibleName(), title);
  EXPECT_EQ(imageRows()[1]->displayedTitle(), "Short");
}

TEST_F(StatusPopoverViewTest, ImageRowsCarryTheirFilesThumbnailOrNone) {
  addLibraryPicture("Wide", solid(200, 50, Qt::red));
  addLibraryFile("Broken", "png", "\x89PNG\r\n\x1a\nnot a picture");
  addLibraryPicture("Gone", solid(20, 20, Qt::blue));
  std::filesystem::remove(imagesFolderURL() / images().savedImages().back().fileName);
  build();
  view_->show();
  settle();
  ASSERT_EQ(imageRows().size(), 3);
  const QImage thumb = imageRows()[0]->leadingImage();
  ASSERT_FALSE(thumb.isNull());
  EXPECT_EQ(thumb.size(), QSize(32, 8));  // fitted, aspect kept, twice the drawn size
  EXPECT_TRUE(imageRows()[1]->leadingImage().isNull());
  EXPECT_TRUE(imageRows()[2]->leadingImage().isNull());
  // Without a picture the title moves left; the check column stays.
  EXPECT_EQ(imageRows()[1]->titleRect().left(), 6 + 12 + 6);
  // The thumbnail is drawn in its 16 x 16 box after the check column, centred.
  EXPECT_TRUE(near(pixel(imageRows()[0], QPoint(6 + 12 + 6 + 8, imageRows()[0]->height() / 2)), Qt::red, 40));
}

TEST_F(StatusPopoverViewTest, HoveringAnEnabledRowTintsTheWholeRowAndADisabledRowNothing) {
  build(false);
  view_->show();
  settle();
  PopoverRow* settings = row("settingsRow");
  const QPoint emptyPart(settings->width() - 10, settings->height() / 2);
  const QColor before = pixel(settings, emptyPart);

  QEnterEvent enter(QPointF(50, 5), QPointF(50, 5), QPointF(50, 5));
  QCoreApplication::sendEvent(settings, &enter);
  EXPECT_TRUE(settings->isHovering());
  EXPECT_TRUE(settings->drawsHighlight());
  const QColor accent = settings->palette().color(QPalette::Active, QPalette::Highlight);
  const QColor tinted = pixel(settings, emptyPart);
  EXPECT_TRUE(near(tinted, blend(before, accent, 0.18))) << tinted.name().toStdString();
  EXPECT_NE(tinted, before);
  // Rounded corners: the very corner stays untinted.
  EXPECT_TRUE(near(pixel(settings, QPoint(0, 0)), before, 20));

  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(settings, &leave);
  EXPECT_FALSE(settings->isHovering());
  EXPECT_EQ(pixel(settings, emptyPart), before);

  PopoverRow* update = row("updateRow");
  ASSERT_FALSE(update->isEnabled());
  const QColor disabledBefore = pixel(update, emptyPart);
  QCoreApplication::sendEvent(update, &enter);
  EXPECT_FALSE(update->drawsHighlight());
  EXPECT_EQ(pixel(update, emptyPart), disabledBefore);
}

TEST_F(StatusPopoverViewTest, ThePreviewAreaShowsTheLetterboxedFrameInARoundedBlackShape) {
  const Uuid red = addLibraryPicture("Red", solid(64, 36, Qt::red));
  build();
  view_->show();
  preview().startPreview();
  settle();
  QWidget* area = view_->previewArea();
  auto label = [&] { return QAccessible::queryAccessibleInterface(area)->text(QAccessible::Name); };
  EXPECT_EQ(label(), qtTrId("a11y.preview.off"));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(area)->role(), QAccessible::Graphic);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(area)->childCount(), 0);
  EXPECT_EQ(pixel(area, QPoint(118, 67)), QColor(Qt::black));

  PopoverRow* offRow = row("offRow");
  camera().selectImage(red);
  settle();
  EXPECT_EQ(label(), qtTrId("a11y.preview.image"));
  EXPECT_TRUE(near(pixel(area, QPoint(118, 67)), Qt::red, 20));
  EXPECT_TRUE(near(pixel(area, QPoint(6, 6)), Qt::red, 20));
  // 236 x 135 holds the 16:9 frame 236 x 133 high: a black line above it, and the corner outside the curve.
  EXPECT_TRUE(near(pixel(area, QPoint(118, 0)), Qt::black, 40));
  const QColor corner = pixel(area, QPoint(0, 0));
  EXPECT_FALSE(near(corner, Qt::black, 40));
  EXPECT_FALSE(near(corner, Qt::red, 40));

  // A new camera frame repaints the preview; nothing else is rebuilt.
  capture_->addDevice("cam-a", "Desk Cam");
  select("cam-a");
  camera().turnOn();
  settle();
  EXPECT_EQ(label(), qtTrId("a11y.preview.camera"));
  offRow = row("offRow");
  capture_->pushFrame("cam-a", test::FakeCaptureDevices::makeFrame(1, 255, 0, 0));
  settle();
  EXPECT_TRUE(near(pixel(area, QPoint(118, 67)), Qt::blue, 20));
  EXPECT_EQ(row("offRow"), offRow);

  // Closed: no picture, the black shape only.
  preview().stopPreview();
  settle();
  EXPECT_EQ(pixel(area, QPoint(118, 67)), QColor(Qt::black));
}

TEST_F(StatusPopoverViewTest, WhileShownItFollowsEveryModelObject) {
  build();
  view_->show();
  settle();
  const int heightBefore = view_->height();

  addLibraryPicture("Beach", solid(40, 30, Qt::yellow));
  settle();
  EXPECT_EQ(imageRows().size(), 1);
  EXPECT_GT(view_->height(), heightBefore);  // the height follows the content

  capture_->addDevice("cam-a", "Desk Cam");
  settle();
  EXPECT_TRUE(menuItem("Desk Cam"));

  capture_->setAuthorizationStatus(capture::AuthorizationStatus::denied);
  permission().refresh();
  settle();
  EXPECT_TRUE(view_->findChild<QWidget*>("cameraPermissionBlock"));

  activateExtension();
  EXPECT_FALSE(view_->findChild<QWidget*>("extensionGroup"));

  images().deleteImages({0});
  settle();
  EXPECT_TRUE(imageRows().isEmpty());
  EXPECT_FALSE(view_->findChild<QWidget*>("imageGroup"));
}
