// Hot-key registration, sharing and dispatch, on the fake hot-key service,
// and the names bound through a (fake) desktop portal on Wayland.
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "app/shortcuts/Names.h"
#include "tests/fakes/FakeShortcutPortal.h"
#include "tests/shortcuts/ShortcutsFixture.h"

namespace hotkeys = tovrelle::hotkeys;

namespace {

struct Counts {
  int off = 0, on = 0, last = 0;
};

// The app's wiring: key-up actions for its three names.
void wireApplication(ShortcutRegistry& shortcuts, Counts& counts) {
  shortcuts.onKeyUp(Names::cameraOff, [&] { ++counts.off; });
  shortcuts.onKeyUp(Names::cameraOn, [&] { ++counts.on; });
  shortcuts.onKeyUp(Names::showLastImage, [&] { ++counts.last; });
}

}  // namespace

TEST_F(ShortcutsTest, ReleaseRunsTheNamesKeyUpActionAndPressAloneDoesNothing) {
  Counts counts;
  wireApplication(shortcuts(), counts);
  ASSERT_EQ(hotKeys_->live.size(), 3u);

  EXPECT_TRUE(hotKeys_->press(key::one, kCOC));
  EXPECT_EQ(counts.on, 0);
  EXPECT_TRUE(hotKeys_->release(key::one, kCOC));
  EXPECT_EQ(counts.on, 1);
  EXPECT_EQ(counts.off + counts.last, 0);

  int down = 0;
  shortcuts().onKeyDown(Names::cameraOn, [&] { ++down; });
  hotKeys_->press(key::one, kCOC);
  EXPECT_EQ(down, 1);

  // An unknown id, and popup keys while no popup is open, are left to others.
  EXPECT_FALSE(hotKeys_->send(999, false));
  EXPECT_FALSE(shortcuts().handlePopupKey(EventType::keyUp, Shortcut(key::one, kCOC)));
  EXPECT_EQ(counts.on, 1);
}

TEST_F(ShortcutsTest, TwoNamesOnOneShortcutShareOneRegistrationAndBothRun) {
  Counts counts;
  shortcuts().storeShortcut(Shortcut(key::one, kCOC), Names::cameraOff);
  wireApplication(shortcuts(), counts);
  EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 1u);
  EXPECT_EQ(hotKeys_->live.size(), 2u);
  EXPECT_EQ(shortcuts().activeShortcuts().size(), 2u);

  hotKeys_->release(key::one, kCOC);
  EXPECT_EQ(counts.off, 1);
  EXPECT_EQ(counts.on, 1);

  // Moving one of them away leaves the other its hot key.
  shortcuts().storeShortcut(Shortcut(key::nine, kCOC), Names::cameraOff);
  EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 1u);
  EXPECT_EQ(hotKeys_->liveCount(key::nine, kCOC), 1u);
  hotKeys_->release(key::one, kCOC);
  hotKeys_->release(key::nine, kCOC);
  EXPECT_EQ(counts.on, 2);
  EXPECT_EQ(counts.off, 2);
}

TEST_F(ShortcutsTest, ChangingAShortcutUnregistersTheOldOneAndIdsAreNeverReused) {
  Counts counts;
  wireApplication(shortcuts(), counts);
  ASSERT_EQ(hotKeys_->history.size(), 3u);
  const auto old = *hotKeys_->liveRegistration(key::one, kCOC);

  shortcuts().storeShortcut(Shortcut(key::five, kCOC), Names::cameraOn);
  EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 0u);
  EXPECT_EQ(hotKeys_->unregistered, std::vector<hotkeys::HotKeyRef>{old.ref});
  EXPECT_FALSE(shortcuts().activeShortcuts().count(Shortcut(key::one, kCOC)));
  hotKeys_->release(key::one, kCOC);
  EXPECT_EQ(counts.on, 0);
  // A late event for the old registration finds nothing.
  EXPECT_FALSE(hotKeys_->send(old.id, false));

  shortcuts().storeShortcut(std::nullopt, Names::cameraOn);
  shortcuts().storeShortcut(Shortcut(key::one, kCOC), Names::cameraOn);  // back again
  hotKeys_->release(key::one, kCOC);
  EXPECT_EQ(counts.on, 1);

  std::vector<int> tableIds;
  for (const auto& [id, hotKey] : shortcuts().hotKeys()) tableIds.push_back(id);
  EXPECT_EQ(tableIds, (std::vector<int>{1, 3, 5}));
}

TEST_F(ShortcutsTest, WhileAMenuIsOpenItsKeysAreMatchedAndSwallowed) {
  Counts counts;
  wireApplication(shortcuts(), counts);
  QMenu menu;
  menu.addAction("Preview");
  struct Counter : QObject {
    int seen = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      seen += event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease;
      return false;
    }
  } keysSeenByMenu;
  menu.installEventFilter(&keysSeenByMenu);

  menu.popup(QPoint(10, 10));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu));
  EXPECT_TRUE(shortcuts().popupOpen());
  EXPECT_TRUE(hotKeys_->live.empty());  // Qt holds the keyboard; our grabs are off

  // The key itself while the modifiers are held (pressing Alt alone would
  // close a Qt menu; the restored grab then takes the shortcut).
  const auto mods = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
  auto sendKey = [&](QEvent::Type type, Qt::Key key) {
    QKeyEvent event(type, key, mods);
    QApplication::sendEvent(&menu, &event);
  };
  sendKey(QEvent::KeyPress, Qt::Key_1);
  EXPECT_EQ(counts.on, 0);
  sendKey(QEvent::KeyRelease, Qt::Key_1);
  EXPECT_EQ(counts.on, 1);
  EXPECT_EQ(keysSeenByMenu.seen, 0);

  sendKey(QEvent::KeyPress, Qt::Key_7);  // not a shortcut: the menu gets it
  sendKey(QEvent::KeyRelease, Qt::Key_7);
  EXPECT_EQ(keysSeenByMenu.seen, 2);
  EXPECT_TRUE(menu.isVisible());

  hotKeys_->heldByOthers.insert({key::two, kCOC});  // taken while the menu was open
  menu.hide();
  EXPECT_FALSE(shortcuts().popupOpen());
  EXPECT_EQ(hotKeys_->live.size(), 2u);
  EXPECT_EQ(shortcuts().hotKeys().size(), 2u);  // the lost one is gone
  EXPECT_FALSE(shortcuts().handlePopupKey(EventType::keyUp, Shortcut(key::one, kCOC)));
  hotKeys_->release(key::one, kCOC);
  EXPECT_EQ(counts.on, 2);
}

// The tray panel is a popup like a menu: Qt holds the keyboard while it is open and
// its keys arrive at the focused row inside it.
TEST_F(ShortcutsTest, WhileTheTrayPanelIsOpenAShortcutStillActsAndTheOtherKeysReachTheRow) {
  Counts counts;
  wireApplication(shortcuts(), counts);
  QWidget panel(nullptr, Qt::Popup | Qt::FramelessWindowHint);
  auto* row = new QPushButton("Camera Off", &panel);
  (new QVBoxLayout(&panel))->addWidget(row);
  struct Counter : QObject {
    int seen = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      seen += event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease;
      return false;
    }
  } keysSeenByRow;
  row->installEventFilter(&keysSeenByRow);

  panel.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
  EXPECT_TRUE(shortcuts().popupOpen());
  const auto mods = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
  auto sendKey = [&](QEvent::Type type, Qt::Key key) {
    QKeyEvent event(type, key, mods);
    QApplication::sendEvent(row, &event);
  };
  sendKey(QEvent::KeyPress, Qt::Key_0);
  sendKey(QEvent::KeyRelease, Qt::Key_0);
  EXPECT_EQ(counts.off, 1);
  EXPECT_EQ(keysSeenByRow.seen, 0);
  // Typed fast, the modifiers are often let go before the key: still the shortcut's release.
  sendKey(QEvent::KeyPress, Qt::Key_0);
  QKeyEvent bare(QEvent::KeyRelease, Qt::Key_0, Qt::NoModifier);
  QApplication::sendEvent(row, &bare);
  EXPECT_EQ(counts.off, 2);
  EXPECT_EQ(keysSeenByRow.seen, 0);

  sendKey(QEvent::KeyPress, Qt::Key_7);  // not a shortcut: the row gets it
  EXPECT_EQ(keysSeenByRow.seen, 1);
  EXPECT_EQ(counts.off + counts.on + counts.last, 2);

  panel.hide();
  EXPECT_FALSE(shortcuts().popupOpen());
  EXPECT_EQ(hotKeys_->live.size(), 3u);  // the grabs are back
  hotKeys_->release(key::one, kCOC);
  EXPECT_EQ(counts.on, 1);
}

TEST_F(ShortcutsTest, ThroughThePortalReleasesRunTheNamesActionsAndChangesRebind) {
  auto portal = std::make_shared<tovrelle::test::FakeShortcutPortal>();
  launch(portal);
  Counts counts;
  wireApplication(shortcuts(), counts);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !portal->binds.empty(); }, 2000));
  ASSERT_EQ(portal->binds.size(), 1u);  // the three names in one call
  const auto& bound = portal->binds.back();
  ASSERT_EQ(bound.size(), 3u);
  EXPECT_EQ(bound[1].id, "cameraOn");
  EXPECT_EQ(bound[1].preferredTrigger, "CTRL+ALT+LOGO+1");
  EXPECT_EQ(bound[1].description, "Turn the Tovrelle camera on");
  EXPECT_TRUE(hotKeys_->live.empty());  // nothing grabbed

  portal->press("cameraOn");
  EXPECT_EQ(counts.on, 0);
  portal->release("cameraOn");
  portal->release("unknownName");
  EXPECT_EQ(counts.on, 1);
  shortcuts().setHandlersPaused(true);
  portal->release("cameraOff");
  shortcuts().setHandlersPaused(false);
  EXPECT_EQ(counts.off, 0);

  shortcuts().storeShortcut(std::nullopt, Names::showLastImage);
  ASSERT_TRUE(QTest::qWaitFor([&] { return portal->binds.size() == 2; }, 2000));
  EXPECT_EQ(portal->binds.back()[2].preferredTrigger, "");  // cleared: the user picks in the desktop

  // A refusal is logged once and reported to the settings window.
  QSignalSpy availability(&shortcuts(), &ShortcutRegistry::availabilityChanged);
  portal->refuseWith = "the desktop refused the shortcuts (response 2)";
  shortcuts().storeShortcut(Shortcut(key::five, kCOC), Names::showLastImage);
  shortcuts().storeShortcut(Shortcut(key::six, kCOC), Names::showLastImage);
  ASSERT_TRUE(QTest::qWaitFor([&] { return portal->binds.size() == 3; }, 2000));
  QTest::qWait(50);
  EXPECT_EQ(availability.count(), 1);
  EXPECT_FALSE(shortcuts().globalShortcutsStatus().available);
  EXPECT_EQ(logCount("global shortcuts are not available in this session: the desktop refused"), 1);
}
