// What the shortcut names leave in the settings file across launches, the
// stored text format, and which key a key event names.
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QSignalSpy>

#include "app/shortcuts/Names.h"
#include "tests/shortcuts/ShortcutsFixture.h"

namespace {

QJsonObject jsonObject(const QVariant& stored) {
  if (stored.typeId() != QMetaType::QString) return {};
  return QJsonDocument::fromJson(stored.toString().toUtf8()).object();
}

// What the app does at start: its names and their defaults come into being.
void createApplicationNames() {
  for (auto* name : {&Names::cameraOff, &Names::cameraOn, &Names::showLastImage}) name->get();
}

}  // namespace

TEST_F(ShortcutsTest, DefaultsAreStoredOnceAsJsonTextAndChangesSurviveALaunch) {
  createApplicationNames();
  for (const auto& [key, keyCode] : {std::pair{"KeyboardShortcuts_cameraOff", 29},
                                     {"KeyboardShortcuts_cameraOn", 18}, {"KeyboardShortcuts_showLastImage", 19}}) {
    const QJsonObject object = jsonObject(valueOnDisk(key));
    EXPECT_EQ(object.size(), 2) << key;
    EXPECT_EQ(object.value("carbonKeyCode").toInt(-1), keyCode) << key;
    EXPECT_EQ(object.value("carbonModifiers").toInt(-1), kCOC) << key;
  }
  EXPECT_EQ(hotKeys_->live.size(), 3u);  // storing a default registers it

  const Shortcut changed(carbon::nine, kCOC | carbon::shiftKey);
  storeShortcut(changed, Names::cameraOff);
  launch();
  createApplicationNames();
  EXPECT_EQ(storedShortcut(Names::cameraOff), changed);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::one, kCOC));
  QSignalSpy changes(&notificationCenter(), &Notifier::shortcutByNameDidChange);
  Name again("cameraOff", Shortcut(carbon::zero, kCOC));
  EXPECT_EQ(storedShortcut(again), changed);
  EXPECT_EQ(changes.count(), 0);
}

TEST_F(ShortcutsTest, ClearingStoresFalseForDefaultsAndRemovesOtherKeys) {
  createApplicationNames();
  int turnedOn = 0;
  onKeyUp(Names::cameraOn, [&] { ++turnedOn; });
  QSignalSpy changes(&notificationCenter(), &Notifier::shortcutByNameDidChange);
  storeShortcut(std::nullopt, Names::cameraOn);
  storeShortcut(std::nullopt, Names::cameraOn);  // already cleared: no change
  EXPECT_EQ(changes.count(), 1);
  EXPECT_TRUE(tovrelle::isStoredFalse(valueOnDisk("KeyboardShortcuts_cameraOn")));
  EXPECT_EQ(hotKeys_->liveCount(carbon::one, kCOC), 0u);

  launch();
  createApplicationNames();
  onKeyUp(Names::cameraOn, [&] { ++turnedOn; });
  EXPECT_EQ(storedShortcut(Names::cameraOn), std::nullopt);
  EXPECT_EQ(hotKeys_->liveCount(carbon::one, kCOC), 0u);
  hotKeys_->release(carbon::one, kCOC);
  EXPECT_EQ(turnedOn, 0);

  Name plain("toggleMirror");
  storeShortcut(Shortcut(carbon::m, carbon::controlKey), plain);
  storeShortcut(std::nullopt, plain);
  EXPECT_FALSE(valueOnDisk("KeyboardShortcuts_toggleMirror").isValid());
}

TEST_F(ShortcutsTest, UnreadableValuesReadAsNoneOnceLoggedAndAreNotRepaired) {
  for (const QString value : {"not json", R"({"carbonKeyCode":"18","carbonModifiers":6400})",
                              R"({"carbonKeyCode":18.5,"carbonModifiers":6400})", "true"}) {
    SCOPED_TRACE(value.toStdString());
    QSettings(settingsPath_, QSettings::IniFormat).setValue("KeyboardShortcuts_cameraOn", value);
    launch();
    logLines_.clear();
    createApplicationNames();
    onKeyUp(Names::cameraOn, [] {});
    EXPECT_EQ(storedShortcut(Names::cameraOn), std::nullopt);
    storeShortcut(std::nullopt, Names::cameraOn);
    EXPECT_EQ(valueOnDisk("KeyboardShortcuts_cameraOn").toString(), value);
    EXPECT_EQ(hotKeys_->liveCount(carbon::one, kCOC), 0u);
    EXPECT_EQ(logCount("KeyboardShortcuts_cameraOn"), 1);
  }
  // Either member order, any spacing.
  QSettings(settingsPath_, QSettings::IniFormat)
      .setValue("KeyboardShortcuts_cameraOn", R"({ "carbonModifiers" : 6400, "carbonKeyCode":18 })");
  launch();
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(18, 6400));
}

TEST_F(ShortcutsTest, TextShowsModifiersInOrderThenTheKeyOfTheCurrentLayout) {
  EXPECT_EQ(Shortcut(carbon::a, carbon::allModifiers).description(), "Ctrl+Alt+Shift+Super+A");
  EXPECT_EQ(Shortcut(carbon::f20, carbon::cmdKey).description(), "Super+F20");
  EXPECT_EQ(Shortcut(carbon::escape, carbon::shiftKey).description(), "Shift+Esc");
  // On a French layout the key in the "1" position types "&".
  hotKeys_->layoutCharacters[carbon::one] = U'&';
  EXPECT_EQ(Shortcut(carbon::one, kCOC).description(), "Ctrl+Alt+Super+&");
  EXPECT_EQ(keyText(Key{carbon::w}), "W");  // unknown to the layout: US character
}

TEST_F(ShortcutsTest, KeyEventsBecomeCarbonCodesOfTheUnshiftedKey) {
  QKeyEvent shiftBang(QEvent::KeyPress, Qt::Key_Exclam, Qt::ShiftModifier | Qt::ControlModifier);
  EXPECT_EQ(Shortcut::fromKeyEvent(shiftBang), Shortcut(carbon::one, carbon::shiftKey | carbon::controlKey));
  QKeyEvent keypad(QEvent::KeyPress, Qt::Key_5, Qt::KeypadModifier | Qt::ControlModifier);
  EXPECT_EQ(Shortcut::fromKeyEvent(keypad), Shortcut(carbon::keypad5, carbon::controlKey));
  QKeyEvent f35(QEvent::KeyPress, Qt::Key_F35, Qt::ControlModifier);
  EXPECT_EQ(Shortcut::fromKeyEvent(f35), std::nullopt);
  // A real press names its key by scan code; the service knows the layout.
  hotKeys_->scanCodes[10] = carbon::one;
  QKeyEvent scanned(QEvent::KeyPress, Qt::Key_Ampersand, Qt::ControlModifier, 10, 0x26, 0);
  EXPECT_EQ(Shortcut::fromKeyEvent(scanned), Shortcut(carbon::one, carbon::controlKey));
}
