// The General tab's camera service rows on the fake installer: "Remove
// Camera…" asks first, shows the removal while it runs and ends where the
// system says; the status texts speak of the camera service.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <QTemporaryDir>

#include "app/model/UserDefaults.h"
#include "app/settings/GeneralSettingsView.h"
#include "app/shortcuts/KeyboardShortcuts.h"
#include "app/shortcuts/KeyboardShortcutsTesting.h"
#include "tests/fakes/FakeHotKeys.h"
#include "tests/settings/general/WindowsTestSupport.h"

using namespace tovrelle;
using namespace std::chrono_literals;
using settings::GeneralSettingsView;
using Case = SystemExtensionInstaller::Status::Case;

namespace {

class CameraServiceSectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UserDefaults::setStorePath(tmp.filePath("settings.ini"));
    KeyboardShortcuts::testing::resetProcessState();
    KeyboardShortcuts::setHotKeyCenter(std::make_shared<test::FakeHotKeys>());
  }
  void TearDown() override {
    view.reset();
    KeyboardShortcuts::testing::resetProcessState();
    UserDefaults::setStorePath({});
  }
  GeneralSettingsView& make() {
    GeneralSettingsView::Environment e;
    e.extensionInstaller = rig.installer.get();
    e.confirmRemoval = [this](QWidget*) {
      ++questions;
      return confirm;
    };
    view = std::make_unique<GeneralSettingsView>(e);
    view->show();
    rig.run();
    return *view;
  }
  QString statusText() const { return view->statusView()->textLabel()->text(); }

  QTemporaryDir tmp;
  test::InstallerRig rig;
  bool confirm = false;
  int questions = 0;
  std::unique_ptr<GeneralSettingsView> view;
};

TEST_F(CameraServiceSectionTest, RemoveAsksFirstAndShowsTheRemovalUntilItEnds) {
  GeneralSettingsView& v = make();
  rig.reach(Case::activated);
  EXPECT_EQ(v.removeButton()->text(), qtTrId("settings.extension.remove"));
  EXPECT_NE(v.removeButton()->text(), QStringLiteral("settings.extension.remove")) << "the table has the text";

  // Declined: nothing happens.
  QTest::mouseClick(v.removeButton(), Qt::LeftButton);
  EXPECT_EQ(questions, 1);
  EXPECT_FALSE(rig.installer->isRemoving());

  confirm = true;
  rig.extensions->scriptNextDeactivation({test::FakeExtensionManager::finish(0, 2s)});
  QTest::mouseClick(v.removeButton(), Qt::LeftButton);
  EXPECT_TRUE(rig.installer->isRemoving());
  EXPECT_EQ(statusText(), qtTrId("settings.extension.status.removing"));
  EXPECT_FALSE(v.removeButton()->isEnabled());
  EXPECT_FALSE(v.reinstallButton()->isEnabled());
  rig.scheduler.advance(2s);
  EXPECT_EQ(rig.status(), Case::idle);
  EXPECT_EQ(statusText(), qtTrId("settings.extension.status.idle"));
  EXPECT_TRUE(v.removeButton()->isEnabled()) << "a half-removed install can be removed again";

  // A removal the system refuses shows as a failure with its cause.
  rig.extensions->scriptNextDeactivation({test::FakeExtensionManager::fail(sysext::kErrorUnknown)});
  QTest::mouseClick(v.removeButton(), Qt::LeftButton);
  rig.run();
  ASSERT_EQ(rig.status(), Case::failed);
  EXPECT_TRUE(v.statusView()->diagnosticLabel()->text().startsWith(QStringLiteral("tovrelle.camera-service #1: ")));
  EXPECT_TRUE(v.reinstallButton()->isEnabled());
}

TEST_F(CameraServiceSectionTest, StatusTextsSayWhatRunsAndNothingAboutApproval) {
  GeneralSettingsView& v = make();
  for (Case status : {Case::idle, Case::requesting, Case::activated}) {
    SCOPED_TRACE(test::caseName(status));
    rig.reach(status);
    const QString text = statusText();
    EXPECT_FALSE(text.contains(QStringLiteral("approv"), Qt::CaseInsensitive)) << text.toStdString();
    EXPECT_FALSE(text.startsWith(QStringLiteral("settings."))) << "the table has the text";
    EXPECT_EQ(v.removeButton()->isEnabled(), status != Case::requesting);
  }
  EXPECT_TRUE(statusText().contains(QStringLiteral("log in"))) << "activated says it comes back after login";
}

}  // namespace
