// The shortcut field, driven with Qt's key and mouse test events.
#include <QAbstractButton>
#include <QTest>
#include <QVBoxLayout>

#include "app/shortcuts/Localization.h"
#include "app/shortcuts/Names.h"
#include "app/shortcuts/ShortcutField.h"
#include "tests/shortcuts/ShortcutsFixture.h"

namespace {

const Qt::KeyboardModifiers kCtrlAltSuper = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

class ShortcutFieldTest : public tovrelle::test::ShortcutsTest {
 protected:
  void SetUp() override {
    ShortcutsTest::SetUp();
    window_ = std::make_unique<QWidget>();
    window_->setMinimumSize(300, 200);
    auto* layout = new QVBoxLayout(window_.get());
    layout->addWidget(other_ = new QLineEdit);
    layout->addWidget(field_ = new ShortcutField(shortcuts(), Names::cameraOn,
                                                 [this](const std::optional<Shortcut>& s) { changes_.push_back(s); }));
    field_->setBeep([this] { ++beeps_; });
    window_->show();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    other_->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return other_->hasFocus(); }));
  }

  void TearDown() override {
    window_.reset();
    ShortcutsTest::TearDown();
  }

  void startRecording() {
    field_->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return field_->isRecording(); }));
  }

  QMessageBox* waitForAlert() {
    return QTest::qWaitFor([&] { return field_->alert() && field_->alert()->isVisible(); }) ? field_->alert() : nullptr;
  }

  void clickAlertButton(QMessageBox* box, const QString& text) {
    for (QAbstractButton* button : box->buttons())
      if (button->text() == text) return button->click();
    ADD_FAILURE() << "no button " << text.toStdString();
  }

  std::unique_ptr<QWidget> window_;
  QLineEdit* other_ = nullptr;
  ShortcutField* field_ = nullptr;
  std::vector<std::optional<Shortcut>> changes_;
  int beeps_ = 0;
};

}  // namespace

TEST_F(ShortcutFieldTest, IdleFieldShowsTheStoredShortcutInTheDesktopsNotationOrThePlaceholder) {
  EXPECT_EQ(field_->text(), "Ctrl+Alt+Super+1");
  EXPECT_TRUE(field_->clearButton()->isVisible());
  EXPECT_FALSE(field_->isRecording());
  EXPECT_EQ(field_->placeholderText(), localized("record_shortcut"));

  shortcuts().storeShortcut(std::nullopt, Names::cameraOn);  // from elsewhere: the field follows
  EXPECT_EQ(field_->text(), QString());
  EXPECT_FALSE(field_->clearButton()->isVisible());
  shortcuts().storeShortcut(Shortcut(key::f5, modifier::shift), Names::cameraOn);
  EXPECT_EQ(field_->text(), "Shift+F5");
  shortcuts().storeShortcut(Shortcut(key::f6, 0), Names::cameraOff);  // another name: no effect
  EXPECT_EQ(field_->text(), "Shift+F5");
}

TEST_F(ShortcutFieldTest, FocusStartsRecordingAndAnAcceptedShortcutIsShownStoredAndReported) {
  int turnedOff = 0;
  shortcuts().onKeyUp(Names::cameraOff, [&] { ++turnedOff; });
  ASSERT_EQ(hotKeys_->live.size(), 2u);  // cameraOff and this field's cameraOn

  startRecording();
  // The field empties so that its prompt shows; the stored shortcut can still be cleared.
  EXPECT_EQ(field_->placeholderText(), "Press shortcut");
  EXPECT_EQ(field_->text(), QString());
  EXPECT_TRUE(field_->clearButton()->isVisible());
  EXPECT_TRUE(shortcuts().handlersPaused());
  EXPECT_TRUE(hotKeys_->live.empty());
  EXPECT_TRUE(field_->isReadOnly());         // no caret, nothing typed
  QTest::keyPress(field_, Qt::Key_Control);  // modifiers going down are not keys
  QTest::keyPress(field_, Qt::Key_Alt, Qt::ControlModifier);
  EXPECT_EQ(beeps_, 0);

  // Ctrl+Alt+Super+0 is recorded for this name instead of turning the camera off.
  QTest::keyClick(field_, Qt::Key_0, kCtrlAltSuper);
  EXPECT_EQ(turnedOff, 0);
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::zero, kCOC));
  EXPECT_EQ(changes_, (std::vector<std::optional<Shortcut>>{Shortcut(key::zero, kCOC)}));
  EXPECT_FALSE(field_->isRecording());
  EXPECT_FALSE(field_->hasFocus());
  EXPECT_FALSE(shortcuts().handlersPaused());
  EXPECT_EQ(field_->placeholderText(), localized("record_shortcut"));
  EXPECT_EQ(field_->text(), "Ctrl+Alt+Super+0");
  // Both names now share one registration, and both run.
  EXPECT_EQ(hotKeys_->liveCount(key::zero, kCOC), 1u);
  EXPECT_EQ(hotKeys_->liveCount(key::one, kCOC), 0u);
  hotKeys_->release(key::zero, kCOC);
  EXPECT_EQ(turnedOff, 1);

  // Shift counts as a modifier beside others.
  startRecording();
  QTest::keyClick(field_, Qt::Key_K, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
  EXPECT_EQ(field_->text(), "Ctrl+Alt+Shift+K");
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn),
            Shortcut(key::k, modifier::control | modifier::alt | modifier::shift));
}

TEST_F(ShortcutFieldTest, KeysWithoutARealModifierBeepExceptFunctionKeys) {
  startRecording();
  QTest::keyClick(field_, Qt::Key_A);
  QTest::keyClick(field_, Qt::Key_A, Qt::ShiftModifier);
  QTest::keyClick(field_, Qt::Key_Tab, Qt::ShiftModifier);
  QTest::keyClick(field_, Qt::Key_5, Qt::KeypadModifier);  // the numeric pad flag is no modifier
  EXPECT_EQ(beeps_, 4);
  EXPECT_TRUE(field_->isRecording());
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::one, kCOC));
  EXPECT_TRUE(changes_.empty());

  // F25 gets past the modifier rule but has no key code to store.
  QTest::keyClick(field_, Qt::Key_F25);
  EXPECT_EQ(beeps_, 5);
  QTest::keyClick(field_, Qt::Key_LaunchMail, Qt::ControlModifier);
  EXPECT_EQ(beeps_, 6);
  EXPECT_TRUE(field_->isRecording());

  QTest::keyClick(field_, Qt::Key_F7);
  EXPECT_EQ(beeps_, 6);
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::f7, 0));
}

TEST_F(ShortcutFieldTest, TabAndEscapeEndRecordingWithoutChangesAndWindowShortcutsWait) {
  QTest::keyClick(other_, Qt::Key_Tab);
  ASSERT_TRUE(QTest::qWaitFor([&] { return field_->isRecording(); }));
  QTest::keyClick(field_, Qt::Key_Tab);
  EXPECT_FALSE(field_->isRecording());
  EXPECT_TRUE(other_->hasFocus()) << "Tab moves the focus on";

  startRecording();
  QTest::keyClick(field_, Qt::Key_Escape);
  EXPECT_FALSE(field_->isRecording());
  EXPECT_FALSE(field_->hasFocus());
  EXPECT_FALSE(shortcuts().handlersPaused());
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::one, kCOC));
  EXPECT_TRUE(changes_.empty());
  EXPECT_EQ(beeps_, 0);

  // With a modifier, Escape is an ordinary key.
  startRecording();
  QTest::keyClick(field_, Qt::Key_Escape, Qt::ControlModifier);
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::escape, modifier::control));

  // The window's own shortcuts do not fire while recording: the key is recorded.
  int fired = 0;
  auto* action = new QAction(window_.get());
  action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  QObject::connect(action, &QAction::triggered, [&] { ++fired; });
  window_->addAction(action);
  startRecording();
  QTest::keyClick(field_, Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::s, modifier::control));
}

TEST_F(ShortcutFieldTest, DeleteAndBackspaceClearAndKeepRecording) {
  for (Qt::Key key : {Qt::Key_Backspace, Qt::Key_Delete}) {
    shortcuts().storeShortcut(Shortcut(key::one, kCOC), Names::cameraOn);
    changes_.clear();
    startRecording();
    QTest::keyClick(field_, key);
    EXPECT_EQ(field_->text(), QString());
    EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), std::nullopt);
    EXPECT_TRUE(tovrelle::isStoredFalse(valueOnDisk("KeyboardShortcuts_cameraOn")));
    ASSERT_EQ(changes_.size(), 1u);
    EXPECT_EQ(changes_[0], std::nullopt);
    EXPECT_TRUE(field_->isRecording());
    EXPECT_EQ(beeps_, 0);
    QTest::keyClick(field_, Qt::Key_Escape);
  }
  // Nothing to clear: no change reported.
  startRecording();
  QTest::keyClick(field_, Qt::Key_Backspace);
  EXPECT_EQ(changes_.size(), 1u);
}

TEST_F(ShortcutFieldTest, RecordingEndsWhenTheWindowGoesOrCloses) {
  shortcuts().onKeyUp(Names::cameraOn, [] {});
  startRecording();
  QWidget elsewhere;
  elsewhere.show();
  elsewhere.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
  EXPECT_FALSE(field_->isRecording());
  EXPECT_FALSE(shortcuts().handlersPaused());
  EXPECT_EQ(field_->text(), "Ctrl+Alt+Super+1");

  // A closed window does not record when it comes back.
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  startRecording();
  window_->hide();
  EXPECT_FALSE(field_->isRecording());
  EXPECT_FALSE(shortcuts().handlersPaused());
  window_->show();
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  EXPECT_FALSE(field_->isRecording());
}

TEST_F(ShortcutFieldTest, AFieldDestroyedWhileRecordingGivesTheHotKeysBack) {
  shortcuts().onKeyUp(Names::cameraOn, [] {});
  startRecording();
  ASSERT_TRUE(hotKeys_->live.empty());
  delete field_;
  EXPECT_FALSE(shortcuts().handlersPaused());
  EXPECT_EQ(hotKeys_->live.size(), 1u);
}

TEST_F(ShortcutFieldTest, ASystemShortcutNeedsConfirmation) {
  hotKeys_->heldByOthers.insert({key::seven, kCOC});
  startRecording();
  QTest::keyClick(field_, Qt::Key_7, kCtrlAltSuper);
  QMessageBox* box = waitForAlert();
  ASSERT_NE(box, nullptr);
  EXPECT_FALSE(field_->isRecording());
  EXPECT_EQ(box->text(), localized("keyboard_shortcut_used_by_system"));
  EXPECT_EQ(box->informativeText(), localized("keyboard_shortcuts_can_be_changed"));
  ASSERT_EQ(box->buttons().size(), 2);
  clickAlertButton(box, localized("ok"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return field_->isRecording(); }));
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::one, kCOC));
  EXPECT_TRUE(changes_.empty());

  QTest::keyClick(field_, Qt::Key_7, kCtrlAltSuper);
  box = waitForAlert();
  ASSERT_NE(box, nullptr);
  clickAlertButton(box, localized("force_use_shortcut"));
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::seven, kCOC));
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(field_->text(), "Ctrl+Alt+Super+7");
  EXPECT_FALSE(field_->isRecording());
}

TEST_F(ShortcutFieldTest, DesktopReservationsCountButPlainF12AndOurOwnShortcutsDoNot) {
  hotKeys_->reservedByDesktop.insert({key::f12, 0});
  hotKeys_->reservedByDesktop.insert({key::zero, kCOC});
  shortcuts().onKeyUp(Names::cameraOff, [] {});  // ours: Ctrl+Alt+Super+0

  startRecording();
  QTest::keyClick(field_, Qt::Key_F12);
  EXPECT_EQ(field_->alert(), nullptr);
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::f12, 0));

  startRecording();
  QTest::keyClick(field_, Qt::Key_0, kCtrlAltSuper);
  EXPECT_EQ(field_->alert(), nullptr);
  EXPECT_EQ(shortcuts().storedShortcut(Names::cameraOn), Shortcut(key::zero, kCOC));

  hotKeys_->reservedByDesktop.insert({key::f12, modifier::shift});
  startRecording();
  QTest::keyClick(field_, Qt::Key_F12, Qt::ShiftModifier);
  EXPECT_NE(waitForAlert(), nullptr);
}
