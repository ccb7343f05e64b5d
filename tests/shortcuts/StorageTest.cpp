// What the shortcut names leave in the settings file across launches, the
// stored text format, and which key a key event names.
#include <QFile>
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
                                     {"KeyboardShortcuts_cameraOn", 18},
                                     {"KeyboardShortcuts_showLastImage", 19}}) {
    const QJsonObject object = jsonObject(valueOnDisk(key));
    EXPECT_EQ(object.size(), 2) << key;
    EXPECT_EQ(object.value("carbonKeyCode").toInt(-1), keyCode) << key;
    EXPECT_EQ(object.value("carbonModifiers").toInt(-1), kCOC) << key;
  }
  EXPECT_EQ(hotKeys_->live.size(), 3u);  // storing a default registers it

  const Shortcut changed(key::nine, kCOC | modifier::shift);
  storeShortcut(changed, Names::cameraOff);
  launch();
  createApplicationNames();
  EXPECT_EQ(storedShortcut(Names::cameraOff), changed);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(key::one, kCOC));
  QSignalSpy changes(&notificationCenter(), &Notifier::shortcutByNameDidChange);
  Name again("cameraOff", Shortcut(key::zero, kCOC));
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
  EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 0u);

  launch();
  createApplicationNames();
  onKeyUp(Names::cameraOn, [&] { ++turnedOn; });
  EXPECT_EQ(storedShortcut(Names::cameraOn), std::nullopt);
  EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 0u);
  hotKeys_->release(key::one, kCOC);
  EXPECT_EQ(turnedOn, 0);

  Name plain("toggleMirror");
  storeShortcut(Shortcut(key::m, modifier::control), plain);
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
    EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 0u);
    EXPECT_EQ(logCount("KeyboardShortcuts_cameraOn"), 1);
  }
  // Either member order, any spacing.
  QSettings(settingsPath_, QSettings::IniFormat)
      .setValue("KeyboardShortcuts_cameraOn", R"({ "carbonModifiers" : 6400, "carbonKeyCode":18 })");
  launch();
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(18, 6400));
}

TEST_F(ShortcutsTest, TextShowsModifiersInOrderThenTheKeyOfTheCurrentLayout) {
  EXPECT_EQ(Shortcut(key::a, modifier::all).description(), "Ctrl+Alt+Shift+Super+A");
  EXPECT_EQ(Shortcut(key::f20, modifier::super).description(), "Super+F20");
  EXPECT_EQ(Shortcut(key::escape, modifier::shift).description(), "Shift+Esc");
  // On a French layout the key in the "1" position types "&".
  hotKeys_->layoutCharacters[key::one] = U'&';
  EXPECT_EQ(Shortcut(key::one, kCOC).description(), "Ctrl+Alt+Super+&");
  EXPECT_EQ(keyText(key::w), "W");  // unknown to the layout: US character
}

TEST_F(ShortcutsTest, KeyEventsBecomeCodesOfTheUnshiftedKey) {
  QKeyEvent shiftBang(QEvent::KeyPress, Qt::Key_Exclam, Qt::ShiftModifier | Qt::ControlModifier);
  EXPECT_EQ(Shortcut::fromKeyEvent(shiftBang), Shortcut(key::one, modifier::shift | modifier::control));
  QKeyEvent keypad(QEvent::KeyPress, Qt::Key_5, Qt::KeypadModifier | Qt::ControlModifier);
  EXPECT_EQ(Shortcut::fromKeyEvent(keypad), Shortcut(key::keypad5, modifier::control));
  QKeyEvent f35(QEvent::KeyPress, Qt::Key_F35, Qt::ControlModifier);
  EXPECT_EQ(Shortcut::fromKeyEvent(f35), std::nullopt);
  // A real press names its key by scan code; the service knows the layout.
  hotKeys_->scanCodes[10] = key::one;
  QKeyEvent scanned(QEvent::KeyPress, Qt::Key_Ampersand, Qt::ControlModifier, 10, 0x26, 0);
  EXPECT_EQ(Shortcut::fromKeyEvent(scanned), Shortcut(key::one, modifier::control));
}

// A settings file as every version so far has written it: the same shortcuts
// come back, and storing them again leaves the very same bytes on disk.
TEST_F(ShortcutsTest, ASettingsFileOfEarlierVersionsReadsBackAndIsWrittenBackByteForByte) {
  const QByteArray written =
      "[General]\n"
      "KeyboardShortcuts_cameraOff=false\n"
      "KeyboardShortcuts_cameraOn=\"{\\\"carbonKeyCode\\\":18,\\\"carbonModifiers\\\":6400}\"\n"
      "KeyboardShortcuts_showLastImage=\"{\\\"carbonKeyCode\\\":40,\\\"carbonModifiers\\\":4608}\"\n";
  {
    QFile file(settingsPath_);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(written);
  }
  launch();
  createApplicationNames();
  EXPECT_EQ(storedShortcut(Names::cameraOff), std::nullopt);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(key::one, modifier::control | modifier::alt | modifier::super));
  EXPECT_EQ(storedShortcut(Names::showLastImage), Shortcut(key::k, modifier::control | modifier::shift));
  EXPECT_EQ(Shortcut(key::k, modifier::control | modifier::shift).description(), "Ctrl+Shift+K");

  for (const Name* name : {&Names::cameraOn.get(), &Names::showLastImage.get()}) {
    const std::optional<Shortcut> shortcut = storedShortcut(*name);
    storeShortcut(std::nullopt, *name);
    storeShortcut(shortcut, *name);
  }
  storeShortcut(Shortcut(key::zero, kCOC), Names::cameraOff);
  storeShortcut(std::nullopt, Names::cameraOff);
  settings_->sync();
  QFile file(settingsPath_);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll().toStdString(), written.toStdString());
}
