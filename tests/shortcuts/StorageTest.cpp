// What the shortcut names leave in the settings file across launches, and the
// stored text format.
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QSignalSpy>

#include "app/shortcuts/Names.h"
#include "tests/shortcuts/ShortcutsFixture.h"

using namespace KeyboardShortcuts;
using tovrelle::test::ShortcutsTest;
namespace carbon = tovrelle::hotkeys::carbon;

namespace {

constexpr int kControlOptionCommand = 6400;

// The members of a stored JSON object, or an empty object when it is not one.
QJsonObject jsonObject(const QVariant& stored) {
  if (stored.typeId() != QMetaType::QString) return {};
  const QJsonDocument document = QJsonDocument::fromJson(stored.toString().toUtf8());
  return document.isObject() ? document.object() : QJsonObject{};
}

void createApplicationNames() {
  Names::cameraOff.get();
  Names::cameraOn.get();
  Names::showLastImage.get();
}

}  // namespace

TEST_F(ShortcutsTest, FirstLaunchStoresTheThreeDefaultsAsJsonText) {
  createApplicationNames();

  const struct {
    const char* key;
    int keyCode;
  } expected[] = {{"KeyboardShortcuts_cameraOff", 29},
                  {"KeyboardShortcuts_cameraOn", 18},
                  {"KeyboardShortcuts_showLastImage", 19}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.key);
    const QVariant stored = valueOnDisk(e.key);
    ASSERT_EQ(stored.typeId(), QMetaType::QString);
    const QJsonObject object = jsonObject(stored);
    EXPECT_EQ(object.size(), 2);
    EXPECT_EQ(object.value("carbonKeyCode").toInt(-1), e.keyCode);
    EXPECT_EQ(object.value("carbonModifiers").toInt(-1), kControlOptionCommand);
  }
  EXPECT_TRUE(fileBytes().contains("carbonKeyCode")) << fileBytes().toStdString();
  // Storing a default is a change like any other: it registers the hot key.
  EXPECT_EQ(hotKeys_->live.size(), 3u);
}

TEST_F(ShortcutsTest, LaterLaunchKeepsChangedValuesAndDefaultsOnlyOnce) {
  createApplicationNames();
  const Shortcut changed(carbon::nine, kControlOptionCommand | carbon::shiftKey);
  storeShortcut(changed, Names::cameraOff);

  launch();
  createApplicationNames();
  EXPECT_EQ(storedShortcut(Names::cameraOff), changed);
  EXPECT_EQ(jsonObject(valueOnDisk("KeyboardShortcuts_cameraOff")).value("carbonKeyCode").toInt(), 25);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::one, kControlOptionCommand));

  // Creating a name again in the same launch does not store anything either.
  QSignalSpy changes(&notificationCenter(), &Notifier::shortcutByNameDidChange);
  Name again("cameraOff", Shortcut(carbon::zero, kControlOptionCommand));
  EXPECT_EQ(storedShortcut(again), changed);
  EXPECT_EQ(changes.count(), 0);
}

TEST_F(ShortcutsTest, ClearingCameraOnStoresFalseAndStaysClearedAfterRestart) {
  createApplicationNames();
  int turnedOn = 0;
  onKeyUp(Names::cameraOn, [&] { ++turnedOn; });
  ASSERT_EQ(hotKeys_->liveCount(carbon::one, kControlOptionCommand), 1u);

  storeShortcut(std::nullopt, Names::cameraOn);
  EXPECT_TRUE(tovrelle::isStoredFalse(valueOnDisk("KeyboardShortcuts_cameraOn")));
  EXPECT_EQ(hotKeys_->liveCount(carbon::one, kControlOptionCommand), 0u);

  launch();
  createApplicationNames();
  onKeyUp(Names::cameraOn, [&] { ++turnedOn; });
  EXPECT_EQ(storedShortcut(Names::cameraOn), std::nullopt);
  EXPECT_TRUE(tovrelle::isStoredFalse(valueOnDisk("KeyboardShortcuts_cameraOn")));
  EXPECT_TRUE(hotKeys_->live.empty());
  EXPECT_TRUE(activeShortcuts().empty());
  hotKeys_->release(carbon::one, kControlOptionCommand);
  EXPECT_EQ(turnedOn, 0);
}

TEST_F(ShortcutsTest, ClearingANameWithoutDefaultRemovesItsKey) {
  Name plain("toggleMirror");
  storeShortcut(Shortcut(carbon::m, carbon::controlKey), plain);
  EXPECT_TRUE(valueOnDisk("KeyboardShortcuts_toggleMirror").isValid());

  storeShortcut(std::nullopt, plain);
  EXPECT_FALSE(valueOnDisk("KeyboardShortcuts_toggleMirror").isValid());
  EXPECT_FALSE(fileBytes().contains("toggleMirror"));
}

TEST_F(ShortcutsTest, UndecodableValuesReadAsNoneAndAreNotRepaired) {
  const QString bad[] = {
      "not json",
      R"({"carbonKeyCode":"18","carbonModifiers":6400})",
      R"({"carbonKeyCode":18})",
      R"({"carbonKeyCode":18.5,"carbonModifiers":6400})",
      R"([18,6400])",
      "true",
  };
  for (const QString& value : bad) {
    SCOPED_TRACE(value.toStdString());
    {
      QSettings settings(settingsPath_, QSettings::IniFormat);
      settings.setValue("KeyboardShortcuts_cameraOn", value);
    }
    launch();
    logLines_.clear();
    createApplicationNames();
    int turnedOn = 0;
    onKeyUp(Names::cameraOn, [&] { ++turnedOn; });
    EXPECT_EQ(storedShortcut(Names::cameraOn), std::nullopt);
    storeShortcut(std::nullopt, Names::cameraOn);  // nothing stored: nothing to clear
    EXPECT_EQ(valueOnDisk("KeyboardShortcuts_cameraOn").toString(), value);
    EXPECT_EQ(hotKeys_->liveCount(carbon::one, kControlOptionCommand), 0u);
    EXPECT_EQ(logCount("KeyboardShortcuts_cameraOn"), 1);
  }
}

TEST_F(ShortcutsTest, ReadersAcceptEitherMemberOrder) {
  {
    QSettings settings(settingsPath_, QSettings::IniFormat);
    settings.setValue("KeyboardShortcuts_cameraOn", R"({"carbonModifiers":6400,"carbonKeyCode":18})");
    settings.setValue("KeyboardShortcuts_cameraOff", R"({ "carbonKeyCode" : 29 , "carbonModifiers" : 4352 })");
  }
  launch();
  createApplicationNames();
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(18, 6400));
  EXPECT_EQ(storedShortcut(Names::cameraOff), Shortcut(29, 4352));
  EXPECT_EQ(Shortcut::fromJSON(Shortcut(18, 6400).toJSON()), Shortcut(18, 6400));
}

TEST_F(ShortcutsTest, EveryChangePostsTheNotificationWithTheName) {
  createApplicationNames();
  QSignalSpy changes(&notificationCenter(), &Notifier::shortcutByNameDidChange);
  storeShortcut(Shortcut(carbon::five, kControlOptionCommand), Names::showLastImage);
  storeShortcut(std::nullopt, Names::showLastImage);
  storeShortcut(std::nullopt, Names::showLastImage);  // already cleared: no change
  ASSERT_EQ(changes.count(), 2);
  for (const QList<QVariant>& change : changes) {
    ASSERT_EQ(change.at(0).metaType(), QMetaType::fromType<Name>());
    EXPECT_EQ(static_cast<const Name*>(change.at(0).constData())->rawValue(), "showLastImage");
  }
  EXPECT_EQ(notificationCenter().objectName(), "KeyboardShortcuts_shortcutByNameDidChange");
}

TEST(ShortcutText, ModifierSymbolsInOrderThenTheKey) {
  EXPECT_EQ(Shortcut(carbon::one, 6400).description(), QString::fromUtf8("⌃⌥⌘1"));
  EXPECT_EQ(Shortcut(carbon::a, carbon::allModifiers).description(), QString::fromUtf8("⌃⌥⇧⌘A"));
  EXPECT_EQ(Shortcut(carbon::f5, 0).description(), "F5");
  EXPECT_EQ(Shortcut(carbon::f20, carbon::cmdKey).description(), QString::fromUtf8("⌘F20"));
  EXPECT_EQ(Shortcut(carbon::escape, carbon::shiftKey).description(), QString::fromUtf8("⇧⎋"));
  EXPECT_EQ(Shortcut(carbon::keypad7, carbon::controlKey).description(), QString::fromUtf8("⌃7"));
  EXPECT_EQ(Shortcut(carbon::leftBracket, carbon::optionKey).description(), QString::fromUtf8("⌥["));
  EXPECT_EQ(modifierSymbols(ModifierFlag::function | ModifierFlag::command),
            QString::fromUtf8("⌘") + QString::fromUcs4(U"\U0001F310\uFE0E"));
  // Caps Lock and the numeric pad have no symbol and no Carbon bit.
  EXPECT_EQ(modifierSymbols(ModifierFlag::capsLock | ModifierFlag::numericPad), QString());
  EXPECT_EQ(carbonModifiers(ModifierFlag::deviceIndependent), int(carbon::allModifiers));
  EXPECT_EQ(modifierFlags(6400), ModifierFlag::control | ModifierFlag::option | ModifierFlag::command);
}

TEST_F(ShortcutsTest, KeyTextFollowsTheCurrentLayout) {
  // On a French layout the key in the "1" position types "&".
  hotKeys_->layoutCharacters[carbon::one] = U'&';
  hotKeys_->layoutCharacters[carbon::q] = U'a';
  EXPECT_EQ(Shortcut(carbon::one, 6400).description(), QString::fromUtf8("⌃⌥⌘&"));
  EXPECT_EQ(keyText(Key{carbon::q}), "A");
  EXPECT_EQ(keyText(Key{carbon::w}), "W");  // unknown to the layout: US character
}

TEST_F(ShortcutsTest, KeyEventsBecomeCarbonCodesOfTheUnshiftedKey) {
  QKeyEvent ctrlAltSuper1(QEvent::KeyPress, Qt::Key_1, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  EXPECT_EQ(Shortcut::fromKeyEvent(ctrlAltSuper1), Shortcut(18, 6400));
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
