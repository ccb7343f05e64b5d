// The settings window's General tab on the real model objects over fakes:
// installer on the fake extension machinery, login item in memory, camera
// permission on the fake capture service, hot keys in memory.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "app/model/ApplicationEvents.h"
#include "app/model/Settings.h"
#include "app/settings/GeneralSettingsView.h"
#include "app/settings/VideoDeviceView.h"
#include "app/settings/WebPage.h"
#include "app/shortcuts/Names.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/FakeHotKeys.h"
#include "tests/fakes/FakeShortcutPortal.h"
#include "tests/fakes/FakeVideoDevices.h"
#include "tests/settings/general/WindowsTestSupport.h"

using namespace tovrelle;
using namespace std::chrono_literals;
using capture::AuthorizationStatus;
using settings::CameraServiceStatusView;
using settings::GeneralSettingsView;
using Case = CameraServiceInstaller::Status::Case;
using Failure = CameraServiceInstaller::Failure;

namespace {

const QString kSite = QStringLiteral("https://tovrelle.example");

class GeneralTabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    store = std::make_unique<Settings>(tmp.filePath("settings.ini"));
    useShortcuts();
    capture->setAuthorizationStatus(AuthorizationStatus::notDetermined);
    permission = std::make_unique<CameraPermission>(CameraPermission::Dependencies{capture, opener, &events});
  }
  void TearDown() override {
    view.reset();
    shortcuts.reset();
    store.reset();
  }

  // The app's shortcuts over `store`, on the fake hot keys or through `portal`.
  void useShortcuts(std::shared_ptr<test::FakeShortcutPortal> portal = nullptr) {
    view.reset();
    shortcuts.reset();
    shortcuts = std::make_unique<KeyboardShortcuts::ShortcutRegistry>(
        *store, KeyboardShortcuts::ShortcutRegistry::Backend{hotKeys, std::move(portal), {}});
  }

  GeneralSettingsView& make() {
    GeneralSettingsView::Environment e{&loginItems,
                                       rig.installer.get(),
                                       permission.get(),
                                       [] {},
                                       opener,
                                       [](const QString& path) { return settings::webPageURL(path, {"en-US"}, kSite); },
                                       [this](QWidget*) {
                                         ++questions;
                                         return confirm;
                                       }};
    e.videoDevice = &video;
    e.settings = store.get();
    e.shortcuts = shortcuts.get();
    view = std::make_unique<GeneralSettingsView>(e);
    view->show();
    return *view;
  }

  // The app came to the front: the permission is read again.
  void activateApp() { events.postDidBecomeActive(); }

  QTemporaryDir tmp;
  std::unique_ptr<Settings> store;
  host::ApplicationEvents events;
  test::InstallerRig rig;
  std::shared_ptr<test::MemoryLoginItemService> loginService = std::make_shared<test::MemoryLoginItemService>();
  LoginItemManager loginItems{loginService};
  std::shared_ptr<test::FakeCaptureDevices> capture = std::make_shared<test::FakeCaptureDevices>();
  std::shared_ptr<test::ScriptedOpener> opener = std::make_shared<test::ScriptedOpener>();
  std::shared_ptr<test::FakeHotKeys> hotKeys = std::make_shared<test::FakeHotKeys>();
  std::unique_ptr<KeyboardShortcuts::ShortcutRegistry> shortcuts;
  std::unique_ptr<CameraPermission> permission;
  std::shared_ptr<test::FakeVideoDevices> videoDevices = std::make_shared<test::FakeVideoDevices>(rig.main);
  VideoDeviceStatus video{{videoDevices, rig.main}};
  bool confirm = false;
  int questions = 0;
  std::unique_ptr<GeneralSettingsView> view;
};

TEST_F(GeneralTabTest, LaunchAtLoginShowsTheServiceAndAsksItOnChange) {
  GeneralSettingsView& v = make();
  QCheckBox* box = v.launchAtLoginCheckBox();
  EXPECT_FALSE(box->isChecked());
  QTest::mouseClick(box, Qt::LeftButton);
  EXPECT_EQ(loginService->current, loginitem::Status::enabled);
  EXPECT_TRUE(box->isChecked());
  QTest::mouseClick(box, Qt::LeftButton);
  EXPECT_EQ(loginService->unregisters, 1);
  EXPECT_FALSE(box->isChecked());

  // A refused registration leaves the box as the service has it.
  loginService->registerError = "no autostart folder";
  QTest::mouseClick(box, Qt::LeftButton);
  EXPECT_EQ(loginService->registers, 2);
  EXPECT_FALSE(box->isChecked());

  // Switched on outside the app: showing the tab again reads it, without registering.
  v.hide();
  loginService->current = loginitem::Status::enabled;
  v.show();
  EXPECT_TRUE(box->isChecked());
  EXPECT_EQ(loginService->registers, 2);
}

TEST_F(GeneralTabTest, ReinstallForcesAnInstall) {
  GeneralSettingsView& v = make();
  rig.reach(Case::running);
  const size_t before = rig.service->installCount();
  QTest::mouseClick(v.reinstallButton(), Qt::LeftButton);
  EXPECT_EQ(rig.service->installCount(), before + 1) << "no look first: the install is forced";
  EXPECT_EQ(rig.status(), Case::starting);
  EXPECT_FALSE(v.reinstallButton()->isEnabled());
}

TEST_F(GeneralTabTest, FailureBlockShowsMessageDiagnosticAndTheRemediesTheFailureNames) {
  GeneralSettingsView& v = make();
  // Only a damaged copy of the service needs support.
  for (const auto& [code, needsSupport] : {std::pair{userservice::kErrorNoCamera, false},
                                           {userservice::kErrorValidationFailed, true},
                                           {userservice::kErrorRefused, false}}) {
    SCOPED_TRACE(code);
    rig.reach(Case::failed, code);
    const Failure& failure = *rig.installer->status().failure;
    CameraServiceStatusView* s = v.statusView();
    EXPECT_EQ(s->textLabel()->text(), qtTrId("settings.service.status.failed") + "\n" + failure.message);
    ASSERT_TRUE(s->diagnosticLabel());
    EXPECT_EQ(s->diagnosticLabel()->text(), failure.diagnostic);
    EXPECT_TRUE(s->diagnosticLabel()->text().startsWith("tovrelle.camera-service #"));
    EXPECT_TRUE(s->diagnosticLabel()->textInteractionFlags() & Qt::TextSelectableByMouse) << "copyable";
    ASSERT_EQ(s->supportLink() != nullptr, needsSupport);
    EXPECT_TRUE(v.reinstallButton()->isEnabled());
    // On screen at once, without waiting for the event loop.
    EXPECT_TRUE(s->textLabel()->isVisible() && s->diagnosticLabel()->isVisible());
    if (s->supportLink()) {
      EXPECT_TRUE(s->supportLink()->isVisible());
      EXPECT_TRUE(s->supportLink()->text().contains(qtTrId("about.link.support")));
      opener->attempts.clear();
      emit s->supportLink()->linkActivated(QStringLiteral("ignored: the view opens its own address"));
      EXPECT_EQ(opener->attempts, std::vector<std::string>{"https://tovrelle.example/en/support/"});
    }
  }
}

TEST_F(GeneralTabTest, ASettingsFileThatCannotBeWrittenAndARefusedShortcutAreShown) {
  using namespace KeyboardShortcuts;
  GeneralSettingsView& v = make();
  EXPECT_FALSE(v.settingsStoreWarning()->isVisible());
  EXPECT_FALSE(v.refusedShortcutsWarning()->isVisible());

  // "Use Anyway" stores a shortcut another program holds: stored, never grabbed.
  const Shortcut held(tovrelle::hotkeys::key::five, 6400);
  hotKeys->heldByOthers.insert({static_cast<uint32_t>(held.keyCode), 6400u});
  shortcuts->onKeyUp(Names::cameraOn, [] {});
  shortcuts->storeShortcut(held, Names::cameraOn);
  EXPECT_EQ(shortcuts->storedShortcut(Names::cameraOn), held);
  ASSERT_TRUE(v.refusedShortcutsWarning()->isVisible());
  // The shortcut, what it does and why it does nothing.
  const QString refused = v.refusedShortcutsWarning()->text();
  EXPECT_TRUE(refused.contains("Ctrl+Alt+Super+5 (" + qtTrId("settings.shortcuts.cameraOn") + ")"))
      << refused.toStdString();
  EXPECT_TRUE(refused.contains("does nothing: another program holds it.")) << refused.toStdString();
  shortcuts->storeShortcut(Shortcut(tovrelle::hotkeys::key::six, 6400), Names::cameraOn);
  EXPECT_FALSE(v.refusedShortcutsWarning()->isVisible());

  // A folder where the settings file belongs: nothing set survives a restart.
  ASSERT_TRUE(QDir(tmp.path()).mkpath("blocked.ini/x"));
  view.reset();
  store = std::make_unique<Settings>(tmp.filePath("blocked.ini"));
  useShortcuts();
  GeneralSettingsView& blocked = make();
  store->setValue("hasCompletedOnboarding", true);
  ASSERT_TRUE(blocked.settingsStoreWarning()->isVisible());
  EXPECT_TRUE(blocked.settingsStoreWarning()->text().contains(tmp.filePath("blocked.ini")));
  // Writable again: the next write saves everything set meanwhile.
  store->setValue("lastSelectedImageId", "x");
  ASSERT_TRUE(QDir(tmp.filePath("blocked.ini")).removeRecursively());
  store->setValue("lastSelectedImageId", "y");
  EXPECT_FALSE(blocked.settingsStoreWarning()->isVisible());
  QSettings saved(tmp.filePath("blocked.ini"), QSettings::IniFormat);
  EXPECT_EQ(saved.value("hasCompletedOnboarding").toString(), "true");
  EXPECT_EQ(saved.value("lastSelectedImageId").toString(), "y");
}

TEST_F(GeneralTabTest, PermissionSectionIsThereOnlyWhileAccessIsRefused) {
  GeneralSettingsView& v = make();
  // Ends refused, after a row that shows the section going away again.
  for (const auto& [status, shown] : {std::pair{AuthorizationStatus::notDetermined, false},
                                      {AuthorizationStatus::restricted, true},
                                      {AuthorizationStatus::authorized, false},
                                      {AuthorizationStatus::denied, true}}) {
    SCOPED_TRACE(static_cast<int>(status));
    capture->setAuthorizationStatus(status);
    activateApp();
    EXPECT_EQ(v.cameraPermissionSection()->isVisible(), shown);
    bool header = false;
    for (QLabel* label : v.sectionHeaders()) header |= label->text() == qtTrId("settings.section.cameraPermission");
    EXPECT_EQ(header, shown);
  }
  QTest::mouseClick(v.openCameraSettingsButton(), Qt::LeftButton);
  EXPECT_EQ(opener->attempts, std::vector<std::string>{urls::kCameraPrivacySettingsURL});
}

// The camera service rows: "Remove Camera…" asks first, shows the removal while
// it runs and ends where the system says; the texts speak of the camera service.
TEST_F(GeneralTabTest, RemoveAsksFirstAndShowsTheRemovalUntilItEnds) {
  GeneralSettingsView& v = make();
  auto statusText = [&] { return v.statusView()->textLabel()->text(); };
  rig.reach(Case::running);
  EXPECT_EQ(v.removeButton()->text(), qtTrId("settings.service.remove"));
  EXPECT_NE(v.removeButton()->text(), QStringLiteral("settings.service.remove")) << "the table has the text";

  // Declined: nothing happens.
  QTest::mouseClick(v.removeButton(), Qt::LeftButton);
  EXPECT_EQ(questions, 1);
  EXPECT_FALSE(rig.installer->isRemoving());

  confirm = true;
  rig.service->scriptNextRemoval(test::FakeCameraService::succeed(2s));
  QTest::mouseClick(v.removeButton(), Qt::LeftButton);
  EXPECT_TRUE(rig.installer->isRemoving());
  EXPECT_EQ(statusText(), qtTrId("settings.service.status.removing"));
  EXPECT_FALSE(v.removeButton()->isEnabled());
  EXPECT_FALSE(v.reinstallButton()->isEnabled());
  rig.scheduler.advance(2s);
  EXPECT_EQ(rig.status(), Case::notInstalled);
  // Removed stays removed: nothing left to remove, and installing is offered.
  EXPECT_EQ(statusText(), qtTrId("settings.service.status.removed"));
  EXPECT_EQ(statusText(),
            QStringLiteral("Removed: other apps do not see the Tovrelle camera until you install it again."));
  EXPECT_FALSE(v.removeButton()->isEnabled());
  EXPECT_EQ(v.reinstallButton()->text(), QStringLiteral("Install Camera Service"));
  ASSERT_TRUE(v.reinstallButton()->isEnabled());
  rig.service->scriptNextInstall(test::FakeCameraService::succeed());
  QTest::mouseClick(v.reinstallButton(), Qt::LeftButton);
  rig.run();
  EXPECT_EQ(rig.status(), Case::running);
  EXPECT_EQ(v.reinstallButton()->text(), QStringLiteral("Reinstall Camera Service"));
  EXPECT_TRUE(v.removeButton()->isEnabled());

  // A removal the system refuses shows as a failure with its cause.
  rig.service->scriptNextRemoval(test::FakeCameraService::fail(userservice::kErrorUnknown));
  QTest::mouseClick(v.removeButton(), Qt::LeftButton);
  rig.run();
  ASSERT_EQ(rig.status(), Case::failed);
  EXPECT_TRUE(v.statusView()->diagnosticLabel()->text().startsWith(QStringLiteral("tovrelle.camera-service #1: ")));
  EXPECT_TRUE(v.reinstallButton()->isEnabled());
  EXPECT_TRUE(v.removeButton()->isEnabled()) << "a half-removed install can be removed again";
}

TEST_F(GeneralTabTest, StatusTextsSayWhatRunsAndNothingAboutApproval) {
  GeneralSettingsView& v = make();
  for (Case status : {Case::notInstalled, Case::starting, Case::running}) {
    SCOPED_TRACE(static_cast<int>(status));
    rig.reach(status);
    const QString text = v.statusView()->textLabel()->text();
    EXPECT_FALSE(text.contains(QStringLiteral("approv"), Qt::CaseInsensitive)) << text.toStdString();
    EXPECT_FALSE(text.startsWith(QStringLiteral("settings."))) << "the table has the text";
    EXPECT_EQ(v.removeButton()->isEnabled(), status != Case::starting);
  }
  EXPECT_TRUE(v.statusView()->textLabel()->text().contains(QStringLiteral("log in")))
      << "activated says it comes back after login";
}

// A session without global shortcuts: the tab says so once and where to set
// them instead, and blames no single key.
TEST_F(GeneralTabTest, ShortcutsNoteShownWhileTheDesktopRefusesTheShortcuts) {
  using namespace KeyboardShortcuts;
  test::ProcessLog log;
  auto portal = std::make_shared<test::FakeShortcutPortal>();
  portal->refuseWith = "the desktop portal has no global shortcuts";
  useShortcuts(portal);
  GeneralSettingsView& v = make();
  EXPECT_FALSE(v.shortcutsNote()->isVisible());
  shortcuts->onKeyUp(Names::cameraOff, [] {});
  shortcuts->onKeyUp(Names::cameraOn, [] {});
  shortcuts->onKeyUp(Names::showLastImage, [] {});
  ASSERT_TRUE(QTest::qWaitFor([&] { return v.shortcutsNote()->isVisible(); }, 3000));
  const QString note = v.shortcutsNote()->text();
  EXPECT_TRUE(note.contains("not available in this session (the desktop portal has no global shortcuts)"))
      << note.toStdString();
  EXPECT_TRUE(note.contains("tovrelle --camera-on")) << note.toStdString();
  EXPECT_FALSE(v.refusedShortcutsWarning()->isVisible()) << v.refusedShortcutsWarning()->text().toStdString();
  EXPECT_TRUE(shortcuts->refusedShortcuts().empty());
  const auto said = std::count_if(log.lines.begin(), log.lines.end(), [](const std::string& line) {
    return line.find("does nothing:") != std::string::npos ||
           line.find("KeyboardShortcuts: global shortcuts are not available") != std::string::npos;
  });
  EXPECT_EQ(said, 1) << "said once in the log";

  portal->refuseWith.clear();  // the desktop binds them after all
  shortcuts->storeShortcut(Shortcut(tovrelle::hotkeys::key::five, 6400), Names::cameraOn);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !v.shortcutsNote()->isVisible(); }, 3000));
}

// The camera's /dev/video device, under the service's status: what the
// user reads in each situation, and loading the module from the tab.
TEST_F(GeneralTabTest, TheVideoDeviceRowSaysWhatToDo) {
  using videodevice::ServiceOutput;
  GeneralSettingsView& v = make();
  settings::VideoDeviceView* row = v.videoDeviceView();
  ASSERT_TRUE(row);
  auto shownFor = [&](const videodevice::Report& report) {
    videoDevices->report = report;
    video.refresh();
    rig.run();
    return row->textLabel()->text();
  };
  rig.run();
  EXPECT_EQ(videoDevices->looks, 1) << "showing the tab looks at once";

  QString text = shownFor(test::video_reports::moduleMissing());
  EXPECT_TRUE(text.contains("install the package v4l2loopback-dkms")) << text.toStdString();
  EXPECT_FALSE(row->loadButton()->isVisible());
  EXPECT_FALSE(row->commandLabel()->isVisible());

  text = shownFor(test::video_reports::streaming("/dev/video4", ServiceOutput::ready));
  EXPECT_TRUE(text.contains("find the camera at /dev/video4. None reads it now.")) << text.toStdString();
  text = shownFor(test::video_reports::streaming("/dev/video4", ServiceOutput::reading));
  EXPECT_TRUE(text.contains("at /dev/video4. An app reads it now.")) << text.toStdString();
  text = shownFor(test::video_reports::streaming("/dev/video4", ServiceOutput::busy));
  EXPECT_TRUE(text.startsWith("Another program writes to /dev/video4, so the camera service cannot."))
      << text.toStdString();
  EXPECT_TRUE(text.contains("PipeWire still get the Tovrelle camera")) << text.toStdString();

  text = shownFor(test::video_reports::othersOnly({"Stream Cam", "Desk"}));
  EXPECT_TRUE(
      text.startsWith("v4l2loopback was loaded by another program with its own devices (Stream Cam, Desk): "
                      "Tovrelle never uses those."))
      << text.toStdString();
  EXPECT_TRUE(text.endsWith("close the programs that use them, then run in a terminal:")) << text.toStdString();
  ASSERT_TRUE(row->commandLabel()->isVisible());
  EXPECT_EQ(row->commandLabel()->text(),
            "sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback devices=3 exclusive_caps=1,1,1 "
            "'card_label=Tovrelle,Stream Cam,Desk'");
  EXPECT_TRUE(row->commandLabel()->textInteractionFlags() & Qt::TextSelectableByMouse) << "the command can be copied";
  EXPECT_FALSE(row->loadButton()->isVisible()) << "loading again would not add a device";
}

TEST_F(GeneralTabTest, LoadNowSaysWhyAndADismissedPromptIsNoError) {
  GeneralSettingsView& v = make();
  settings::VideoDeviceView* row = v.videoDeviceView();
  videoDevices->report = test::video_reports::notLoaded();
  video.refresh();
  rig.run();
  const QString why = row->textLabel()->text();
  EXPECT_TRUE(why.contains("Chromium, Zoom and Electron apps only see cameras under /dev/video")) << why.toStdString();
  EXPECT_TRUE(why.contains("administrator password once")) << why.toStdString();
  ASSERT_TRUE(row->loadButton()->isVisible());
  EXPECT_EQ(row->loadButton()->text(), "Load Now");

  QTest::mouseClick(row->loadButton(), Qt::LeftButton);
  EXPECT_EQ(videoDevices->pendingLoads(), 1u);
  EXPECT_FALSE(row->loadButton()->isEnabled()) << "one prompt at a time";
  EXPECT_EQ(row->textLabel()->text(), "Loading v4l2loopback…");

  videoDevices->finishLoad(videodevice::LoadOutcome::cancelled);
  rig.run();
  EXPECT_TRUE(row->loadButton()->isEnabled());
  EXPECT_FALSE(row->failureLabel()->isVisible());
  EXPECT_EQ(row->textLabel()->text(), why);

  QTest::mouseClick(row->loadButton(), Qt::LeftButton);
  videoDevices->finishLoad(videodevice::LoadOutcome::failed,
                           "modprobe: ERROR: could not insert 'v4l2loopback': "
                           "Key was rejected by service");
  rig.run();
  ASSERT_TRUE(row->failureLabel()->isVisible());
  EXPECT_EQ(
      row->failureLabel()->text(),
      "Loading v4l2loopback failed: modprobe: ERROR: could not insert 'v4l2loopback': Key was rejected by service");

  // Loaded: the tab looks again at once and shows the device.
  QTest::mouseClick(row->loadButton(), Qt::LeftButton);
  videoDevices->report = test::video_reports::streaming("/dev/video2", videodevice::ServiceOutput::ready);
  videoDevices->finishLoad(videodevice::LoadOutcome::loaded);
  rig.run();
  EXPECT_TRUE(row->textLabel()->text().contains("/dev/video2")) << row->textLabel()->text().toStdString();
  EXPECT_FALSE(row->loadButton()->isVisible());
  EXPECT_FALSE(row->failureLabel()->isVisible());
}

TEST_F(GeneralTabTest, TheVideoDeviceIsLookedAtOnlyWhileTheTabIsShown) {
  GeneralSettingsView& v = make();
  rig.run();
  videoDevices->report = test::video_reports::streaming("/dev/video4", videodevice::ServiceOutput::ready);
  rig.scheduler.advance(VideoDeviceStatus::kWatchInterval);
  EXPECT_TRUE(v.videoDeviceView()->textLabel()->text().contains("None reads it now."));
  // An app starts reading while the tab is up: it says so without a click.
  videoDevices->report.output = videodevice::ServiceOutput::reading;
  rig.scheduler.advance(VideoDeviceStatus::kWatchInterval);
  EXPECT_TRUE(v.videoDeviceView()->textLabel()->text().contains("An app reads it now."));
  v.hide();
  const int looks = videoDevices->looks;
  rig.scheduler.advance(VideoDeviceStatus::kWatchInterval * 5);
  EXPECT_EQ(videoDevices->looks, looks);
}

}  // namespace
