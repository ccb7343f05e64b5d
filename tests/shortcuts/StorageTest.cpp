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
void createApplicationNames(ShortcutRegistry& shortcuts) {
  for (const Name* name : Names::all) shortcuts.addName(*name);
}

}  // namespace

TEST_F(ShortcutsTest, DefaultsAreStoredOnceAsJsonTextAndChangesSurviveALaunch) {
  createApplicationNames(shortcuts());
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
  shortcuts().storeShortcut(changed, Names::cameraOff);
  launch();
  createApplicationNames(shortcuts());
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOff), changed);
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::one, kCOC));
  QSignalSpy changes(&shortcuts(), &ShortcutRegistry::shortcutByNameDidChange);
  Name again("cameraOff", Shortcut(key::zero, kCOC));
  EXPECT_EQ(shortcuts().storedShortcut(again), changed);
  EXPECT_EQ(changes.count(), 0);
}

TEST_F(ShortcutsTest, ClearingStoresFalseForDefaultsAndRemovesOtherKeys) {
  createApplicationNames(shortcuts());
  int turnedOn = 0;
  shortcuts().onKeyUp(Names::cameraOn, [&] { ++turnedOn; });
  QSignalSpy changes(&shortcuts(), &ShortcutRegistry::shortcutByNameDidChange);
  shortcuts().storeShortcut(std::nullopt, Names::cameraOn);
  shortcuts().storeShortcut(std::nullopt, Names::cameraOn);  // already cleared: no change
  EXPECT_EQ(changes.count(), 1);
  EXPECT_TRUE(tovrelle::isStoredFalse(valueOnDisk("KeyboardShortcuts_cameraOn")));
  EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 0u);

  launch();
  createApplicationNames(shortcuts());
  shortcuts().onKeyUp(Names::cameraOn, [&] { ++turnedOn; });
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), std::nullopt);
  EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 0u);
  hotKeys_->release(key::one, kCOC);
  EXPECT_EQ(turnedOn, 0);

  Name plain("toggleMirror");
  shortcuts().storeShortcut(Shortcut(key::m, modifier::control), plain);
  shortcuts().storeShortcut(std::nullopt, plain);
  EXPECT_FALSE(valueOnDisk("KeyboardShortcuts_toggleMirror").isValid());
}

TEST_F(ShortcutsTest, UnreadableValuesReadAsNoneOnceLoggedAndAreNotRepaired) {
  for (const QString value : {"not json", R"({"carbonKeyCode":"18","carbonModifiers":6400})",
                              R"({"carbonKeyCode":18.5,"carbonModifiers":6400})", "true"}) {
    SCOPED_TRACE(value.toStdString());
    QSettings(settingsPath_, QSettings::IniFormat).setValue("KeyboardShortcuts_cameraOn", value);
    launch();
    logLines_.clear();
    createApplicationNames(shortcuts());
    shortcuts().onKeyUp(Names::cameraOn, [] {});
    EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), std::nullopt);
    shortcuts().storeShortcut(std::nullopt, Names::cameraOn);
    EXPECT_EQ(valueOnDisk("KeyboardShortcuts_cameraOn").toString(), value);
    EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 0u);
    EXPECT_EQ(logCount("KeyboardShortcuts_cameraOn"), 1);
  }
  // Either member order, any spacing.
  QSettings(settingsPath_, QSettings::IniFormat)
      .setValue("KeyboardShortcuts_cameraOn", R"({ "carbonModifiers" : 6400, "carbonKeyCode":18 })");
  launch();
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(18, 6400));
}

TEST_F(ShortcutsTest, TextShowsModifiersInOrderThenTheKeyOfTheCurrentLayout) {
  EXPECT_EQ(shortcuts().description(Shortcut(key::a, modifier::all)), "Ctrl+Alt+Shift+Super+A");
  EXPECT_EQ(shortcuts().description(Shortcut(key::f20, modifier::super)), "Super+F20");
  EXPECT_EQ(shortcuts().description(Shortcut(key::escape, modifier::shift)), "Shift+Esc");
  // On a French layout the key in the "1" position types "&".
  hotKeys_->layoutCharacters[key::one] = U'&';
  EXPECT_EQ(shortcuts().description(Shortcut(key::one, kCOC)), "Ctrl+Alt+Super+&");
  EXPECT_EQ(shortcuts().keyText(key::w), "W");  // unknown to the layout: US character
}

TEST_F(ShortcutsTest, KeyEventsBecomeCodesOfTheUnshiftedKey) {
  QKeyEvent shiftBang(QEvent::KeyPress, Qt::Key_Exclam, Qt::ShiftModifier | Qt::ControlModifier);
  EXPECT_EQ(shortcuts().shortcutOf(shiftBang), Shortcut(key::one, modifier::shift | modifier::control));
  QKeyEvent keypad(QEvent::KeyPress, Qt::Key_5, Qt::KeypadModifier | Qt::ControlModifier);
  EXPECT_EQ(shortcuts().shortcutOf(keypad), Shortcut(key::keypad5, modifier::control));
  QKeyEvent f35(QEvent::KeyPress, Qt::Key_F35, Qt::ControlModifier);
  EXPECT_EQ(shortcuts().shortcutOf(f35), std::nullopt);
  // A real press names its key by scan code; the service knows the layout.
  hotKeys_->scanCodes[10] = key::one;
  QKeyEvent scanned(QEvent::KeyPress, Qt::Key_Ampersand, Qt::ControlModifier, 10, 0x26, 0);
  EXPECT_EQ(shortcuts().shortcutOf(scanned), Shortcut(key::one, modifier::control));
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
  createApplicationNames(shortcuts());
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOff), std::nullopt);
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn),
            Shortcut(key::one, modifier::control | modifier::alt | modifier::super));
  EXPECT_EQ(shortcuts().storedShortcut(Names::showLastImage), Shortcut(key::k, modifier::control | modifier::shift));
  EXPECT_EQ(shortcuts().description(Shortcut(key::k, modifier::control | modifier::shift)), "Ctrl+Shift+K");

  for (const Name* name : {&Names::cameraOn, &Names::showLastImage}) {
    const std::optional<Shortcut> shortcut = shortcuts().storedShortcut(*name);
    shortcuts().storeShortcut(std::nullopt, *name);
    shortcuts().storeShortcut(shortcut, *name);
  }
  shortcuts().storeShortcut(Shortcut(key::zero, kCOC), Names::cameraOff);
  shortcuts().storeShortcut(std::nullopt, Names::cameraOff);
  settings_->sync();
  QFile file(settingsPath_);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll().toStdString(), written.toStdString());
}

// Two registries, each over its own settings file and hot-key service, as
// two launches side by side: neither sees the other's stored shortcuts,
// grabs, actions, pause or refusals.
TEST_F(ShortcutsTest, TwoRegistriesOverTwoSettingsFilesShareNothing) {
  QTemporaryDir otherDir;
  ASSERT_TRUE(otherDir.isValid());
  const QString otherPath = otherDir.filePath("tovrelle.ini");
  auto otherSettings = std::make_unique<tovrelle::Settings>(otherPath);
  auto otherKeys = std::make_shared<tovrelle::test::FakeHotKeys>();
  auto other = std::make_unique<ShortcutRegistry>(*otherSettings, ShortcutRegistry::Backend{otherKeys, nullptr, {}});

  int here = 0;
  int there = 0;
  shortcuts().onKeyUp(Names::cameraOn, [&] { ++here; });
  other->onKeyUp(Names::cameraOn, [&] { ++there; });
  shortcuts().storeShortcut(Shortcut(key::five, kCOC), Names::cameraOn);
  settings_->sync();
  otherSettings->sync();
  EXPECT_EQ(jsonObject(valueOnDisk("KeyboardShortcuts_cameraOn")).value("carbonKeyCode").toInt(-1), int(key::five));
  EXPECT_EQ(jsonObject(QSettings(otherPath, QSettings::IniFormat).value("KeyboardShortcuts_cameraOn"))
                .value("carbonKeyCode")
                .toInt(-1),
            int(key::one));
  EXPECT_EQ(other->storedShortcut(Names::cameraOn), Shortcut(key::one, kCOC));

  // Each hot-key service holds its own registry's keys, which run its own actions.
  EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 0u);
  EXPECT_EQ(otherKeys->liveCount(key::five, kCOC), 0u);
  hotKeys_->release(key::five, kCOC);
  otherKeys->release(key::one, kCOC);
  EXPECT_EQ(here, 1);
  EXPECT_EQ(there, 1);

  // Recording in one leaves the other's hot keys on.
  shortcuts().setHandlersPaused(true);
  EXPECT_TRUE(hotKeys_->live.empty());
  EXPECT_FALSE(other->handlersPaused());
  EXPECT_EQ(otherKeys->live.size(), 1u);
  otherKeys->release(key::one, kCOC);
  EXPECT_EQ(there, 2);
  shortcuts().setHandlersPaused(false);

  // A refusal is the refusing registry's own.
  otherKeys->heldByOthers.insert({key::six, kCOC});
  other->storeShortcut(Shortcut(key::six, kCOC), Names::cameraOn);
  ASSERT_EQ(other->refusedShortcuts().count(Shortcut(key::six, kCOC)), 1u);
  EXPECT_EQ(other->refusedShortcuts().at(Shortcut(key::six, kCOC)), "another program holds it");
  EXPECT_TRUE(shortcuts().refusedShortcuts().empty());

  // One going away gives back its own keys only.
  shortcuts_.reset();
  EXPECT_TRUE(hotKeys_->live.empty());
  other->storeShortcut(Shortcut(key::seven, kCOC), Names::cameraOn);
  otherKeys->release(key::seven, kCOC);
  EXPECT_EQ(there, 3);
  EXPECT_EQ(here, 1);
}
