// The General tab tells the user when the session gives the app no global
// shortcuts, and where to set them instead.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include "app/model/UserDefaults.h"
#include "app/settings/GeneralSettingsView.h"
#include "app/shell/Strings.h"
#include "app/shortcuts/KeyboardShortcutsTesting.h"
#include "app/shortcuts/Names.h"
#include "tests/fakes/FakeShortcutPortal.h"

TEST(ShortcutsNote, ShownWhileTheDesktopRefusesTheShortcuts) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "shortcuts_note_tests";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  tovrelle::strings::install(app);
  QTemporaryDir settings;
  tovrelle::UserDefaults::setStorePath(settings.filePath("tovrelle.ini"));
  auto portal = std::make_shared<tovrelle::test::FakeShortcutPortal>();
  portal->refuseWith = "the desktop portal has no global shortcuts";
  KeyboardShortcuts::setShortcutPortal(portal);

  tovrelle::settings::GeneralSettingsView view({});
  view.show();
  EXPECT_FALSE(view.shortcutsNote()->isVisible());
  KeyboardShortcuts::onKeyUp(KeyboardShortcuts::Names::cameraOn, [] {});
  ASSERT_TRUE(QTest::qWaitFor([&] { return view.shortcutsNote()->isVisible(); }, 3000));
  const QString note = view.shortcutsNote()->text();
  EXPECT_TRUE(note.contains("not available in this session (the desktop portal has no global shortcuts)")) << note.toStdString();
  EXPECT_TRUE(note.contains("tovrelle --camera-on")) << note.toStdString();

  portal->refuseWith.clear();  // the desktop binds them after all
  KeyboardShortcuts::storeShortcut(KeyboardShortcuts::Shortcut(tovrelle::hotkeys::carbon::five, 6400),
                                   KeyboardShortcuts::Names::cameraOn);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !view.shortcutsNote()->isVisible(); }, 3000));
  KeyboardShortcuts::testing::resetProcessState();
  tovrelle::UserDefaults::setStorePath({});
}
