// The recorder field, driven with Qt's key and mouse test events.
#include <QAbstractButton>
#include <QMenu>
#include <QTest>
#include <QVBoxLayout>

#include "app/shortcuts/ApplicationMenu.h"
#include "app/shortcuts/Localization.h"
#include "app/shortcuts/Names.h"
#include "app/shortcuts/Recorder.h"
#include "app/shortcuts/RecorderCocoa.h"
#include "tests/shortcuts/ShortcutsFixture.h"

namespace {

const Qt::KeyboardModifiers kCtrlAltSuper = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

class RecorderTest : public tovrelle::test::ShortcutsTest {
 protected:
  void SetUp() override {
    ShortcutsTest::SetUp();
    RecorderCocoa::setBeep([this] { ++beeps_; });
    window_ = std::make_unique<QWidget>();
    window_->setMinimumSize(300, 200);
    auto* layout = new QVBoxLayout(window_.get());
    layout->addWidget(other_ = new QLineEdit);
    layout->addWidget(recorder_ = new RecorderCocoa(
                          Names::cameraOn, [this](const std::optional<Shortcut>& s) { changes_.push_back(s); }));
    window_->show();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    other_->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return other_->hasFocus(); }));
  }

  void TearDown() override {
    window_.reset();
    RecorderCocoa::setBeep({});
    ShortcutsTest::TearDown();
  }

  void startRecording() {
    recorder_->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder_->isRecording(); }));
  }

  QMessageBox* waitForAlert() {
    return QTest::qWaitFor([&] { return recorder_->alert() && recorder_->alert()->isVisible(); }) ? recorder_->alert()
                                                                                                    : nullptr;
  }

  void clickAlertButton(QMessageBox* box, const QString& text) {
    for (QAbstractButton* button : box->buttons())
      if (button->text() == text) return button->click();
    ADD_FAILURE() << "no button " << text.toStdString();
  }

  std::unique_ptr<QWidget> window_;
  QLineEdit* other_ = nullptr;
  RecorderCocoa* recorder_ = nullptr;
  std::vector<std::optional<Shortcut>> changes_;
  int beeps_ = 0;
};

}  // namespace

TEST_F(RecorderTest, IdleFieldShowsTheStoredShortcutInTheDesktopsNotationOrThePlaceholder) {
  EXPECT_EQ(recorder_->text(), "Ctrl+Alt+Super+1");
  EXPECT_TRUE(recorder_->cancelButton()->isVisible());
  EXPECT_FALSE(recorder_->isRecording());
  EXPECT_EQ(recorder_->placeholderText(), localized("record_shortcut"));

  storeShortcut(std::nullopt, Names::cameraOn);  // from elsewhere: the field follows
  EXPECT_EQ(recorder_->text(), QString());
  EXPECT_FALSE(recorder_->cancelButton()->isVisible());
  storeShortcut(Shortcut(carbon::f5, carbon::shiftKey), Names::cameraOn);
  EXPECT_EQ(recorder_->text(), "Shift+F5");
  storeShortcut(Shortcut(carbon::f6, 0), Names::cameraOff);  // another name: no effect
  EXPECT_EQ(recorder_->text(), "Shift+F5");
}

TEST_F(RecorderTest, FocusStartsRecordingAndAnAcceptedShortcutIsShownStoredAndReported) {
  int turnedOff = 0;
  onKeyUp(Names::cameraOff, [&] { ++turnedOff; });
  ASSERT_EQ(hotKeys_->live.size(), 2u);  // cameraOff and this field's cameraOn

  startRecording();
  // The field empties so that its prompt shows; the stored shortcut can still be cleared.
  EXPECT_EQ(recorder_->placeholderText(), "Press shortcut");
  EXPECT_EQ(recorder_->text(), QString());
  EXPECT_TRUE(recorder_->cancelButton()->isVisible());
  EXPECT_TRUE(handlersPaused());
  EXPECT_TRUE(hotKeys_->live.empty());
  EXPECT_TRUE(recorder_->isReadOnly());  // no caret, nothing typed
  QTest::keyPress(recorder_, Qt::Key_Control);  // modifiers going down are not keys
  QTest::keyPress(recorder_, Qt::Key_Alt, Qt::ControlModifier);
  EXPECT_EQ(beeps_, 0);

  // Ctrl+Alt+Super+0 is recorded for this name instead of turning the camera off.
  QTest::keyClick(recorder_, Qt::Key_0, kCtrlAltSuper);
  EXPECT_EQ(turnedOff, 0);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::zero, kCOC));
  EXPECT_EQ(changes_, (std::vector<std::optional<Shortcut>>{Shortcut(carbon::zero, kCOC)}));
  EXPECT_FALSE(recorder_->isRecording());
  EXPECT_FALSE(recorder_->hasFocus());
  EXPECT_FALSE(handlersPaused());
  EXPECT_EQ(recorder_->placeholderText(), localized("record_shortcut"));
  EXPECT_EQ(recorder_->text(), "Ctrl+Alt+Super+0");
  // Both names now share one registration, and both run.
  EXPECT_EQ(hotKeys_->liveCount(carbon::zero, kCOC), 1u);
  EXPECT_EQ(hotKeys_->liveCount(carbon::one, kCOC), 0u);
  hotKeys_->release(carbon::zero, kCOC);
  EXPECT_EQ(turnedOff, 1);

  // Shift counts as a modifier beside others.
  startRecording();
  QTest::keyClick(recorder_, Qt::Key_K, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
  EXPECT_EQ(recorder_->text(), "Ctrl+Alt+Shift+K");
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::k, carbon::controlKey | carbon::optionKey | carbon::shiftKey));
}

TEST_F(RecorderTest, KeysWithoutARealModifierBeepExceptFunctionKeys) {
  startRecording();
  QTest::keyClick(recorder_, Qt::Key_A);
  QTest::keyClick(recorder_, Qt::Key_A, Qt::ShiftModifier);
  QTest::keyClick(recorder_, Qt::Key_Tab, Qt::ShiftModifier);
  QTest::keyClick(recorder_, Qt::Key_5, Qt::KeypadModifier);  // the numeric pad flag is no modifier
  EXPECT_EQ(beeps_, 4);
  EXPECT_TRUE(recorder_->isRecording());
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::one, kCOC));
  EXPECT_TRUE(changes_.empty());

  // F25 gets past the modifier rule but has no key code to store.
  QTest::keyClick(recorder_, Qt::Key_F25);
  EXPECT_EQ(beeps_, 5);
  QTest::keyClick(recorder_, Qt::Key_LaunchMail, Qt::ControlModifier);
  EXPECT_EQ(beeps_, 6);
  EXPECT_TRUE(recorder_->isRecording());

  QTest::keyClick(recorder_, Qt::Key_F7);
  EXPECT_EQ(beeps_, 6);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::f7, 0));
}

TEST_F(RecorderTest, TabAndEscapeEndRecordingWithoutChangesAndWindowShortcutsWait) {
  QTest::keyClick(other_, Qt::Key_Tab);
  ASSERT_TRUE(QTest::qWaitFor([&] { return recorder_->isRecording(); }));
  QTest::keyClick(recorder_, Qt::Key_Tab);
  EXPECT_FALSE(recorder_->isRecording());
  EXPECT_TRUE(other_->hasFocus()) << "Tab moves the focus on";

  startRecording();
  QTest::keyClick(recorder_, Qt::Key_Escape);
  EXPECT_FALSE(recorder_->isRecording());
  EXPECT_FALSE(recorder_->hasFocus());
  EXPECT_FALSE(handlersPaused());
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::one, kCOC));
  EXPECT_TRUE(changes_.empty());
  EXPECT_EQ(beeps_, 0);

  // With a modifier, Escape is an ordinary key.
  startRecording();
  QTest::keyClick(recorder_, Qt::Key_Escape, Qt::ControlModifier);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::escape, carbon::controlKey));

  // The window's own shortcuts do not fire while recording: the key is recorded.
  int fired = 0;
  auto* action = new QAction(window_.get());
  action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  QObject::connect(action, &QAction::triggered, [&] { ++fired; });
  window_->addAction(action);
  startRecording();
  QTest::keyClick(recorder_, Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::s, carbon::controlKey));
}

TEST_F(RecorderTest, DeleteAndBackspaceClearAndKeepRecording) {
  for (Qt::Key key : {Qt::Key_Backspace, Qt::Key_Delete}) {
    storeShortcut(Shortcut(carbon::one, kCOC), Names::cameraOn);
    changes_.clear();
    startRecording();
    QTest::keyClick(recorder_, key);
    EXPECT_EQ(recorder_->text(), QString());
    EXPECT_EQ(storedShortcut(Names::cameraOn), std::nullopt);
    EXPECT_TRUE(tovrelle::isStoredFalse(valueOnDisk("KeyboardShortcuts_cameraOn")));
    ASSERT_EQ(changes_.size(), 1u);
    EXPECT_EQ(changes_[0], std::nullopt);
    EXPECT_TRUE(recorder_->isRecording());
    EXPECT_EQ(beeps_, 0);
    QTest::keyClick(recorder_, Qt::Key_Escape);
  }
  // Nothing to clear: no change reported.
  startRecording();
  QTest::keyClick(recorder_, Qt::Key_Backspace);
  EXPECT_EQ(changes_.size(), 1u);
}

TEST_F(RecorderTest, RecordingEndsWhenTheWindowGoesOrCloses) {
  onKeyUp(Names::cameraOn, [] {});
  startRecording();
  QWidget elsewhere;
  elsewhere.show();
  elsewhere.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
  EXPECT_FALSE(recorder_->isRecording());
  EXPECT_FALSE(handlersPaused());
  EXPECT_EQ(recorder_->text(), "Ctrl+Alt+Super+1");

  // A closed window does not record when it comes back.
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  startRecording();
  window_->hide();
  EXPECT_FALSE(recorder_->isRecording());
  EXPECT_FALSE(handlersPaused());
  window_->show();
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  EXPECT_FALSE(recorder_->isRecording());
}

TEST_F(RecorderTest, AFieldDestroyedWhileRecordingGivesTheHotKeysBack) {
  onKeyUp(Names::cameraOn, [] {});
  startRecording();
  ASSERT_TRUE(hotKeys_->live.empty());
  delete recorder_;
  EXPECT_FALSE(handlersPaused());
  EXPECT_EQ(hotKeys_->live.size(), 1u);
}

TEST_F(RecorderTest, AShortcutOfAMenuItemIsRefusedWithAnAlert) {
  QMenu menu;
  QMenu* view = menu.addMenu("&View");
  QAction* mute = view->addAction("&Mute Preview");
  mute->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::META | Qt::Key_M));
  registerApplicationMenu(&menu);

  startRecording();
  QTest::keyClick(recorder_, Qt::Key_M, kCtrlAltSuper);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::one, kCOC));
  EXPECT_TRUE(changes_.empty());
  EXPECT_FALSE(recorder_->isRecording());
  QMessageBox* box = waitForAlert();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), localized("keyboard_shortcut_used_by_menu_item").arg("Mute Preview"));
  EXPECT_EQ(box->windowModality(), Qt::WindowModal);
  clickAlertButton(box, localized("ok"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return recorder_->isRecording(); }));

  unregisterApplicationMenu(&menu);
  QTest::keyClick(recorder_, Qt::Key_M, kCtrlAltSuper);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::m, kCOC));
}

TEST_F(RecorderTest, ASystemShortcutNeedsConfirmation) {
  hotKeys_->heldByOthers.insert({carbon::seven, kCOC});
  startRecording();
  QTest::keyClick(recorder_, Qt::Key_7, kCtrlAltSuper);
  QMessageBox* box = waitForAlert();
  ASSERT_NE(box, nullptr);
  EXPECT_FALSE(recorder_->isRecording());
  EXPECT_EQ(box->text(), localized("keyboard_shortcut_used_by_system"));
  EXPECT_EQ(box->informativeText(), localized("keyboard_shortcuts_can_be_changed"));
  ASSERT_EQ(box->buttons().size(), 2);
  clickAlertButton(box, localized("ok"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return recorder_->isRecording(); }));
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::one, kCOC));
  EXPECT_TRUE(changes_.empty());

  QTest::keyClick(recorder_, Qt::Key_7, kCtrlAltSuper);
  box = waitForAlert();
  ASSERT_NE(box, nullptr);
  clickAlertButton(box, localized("force_use_shortcut"));
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::seven, kCOC));
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(recorder_->text(), "Ctrl+Alt+Super+7");
  EXPECT_FALSE(recorder_->isRecording());
}

TEST_F(RecorderTest, DesktopReservationsCountButPlainF12AndOurOwnShortcutsDoNot) {
  hotKeys_->reservedByDesktop.insert({carbon::f12, 0});
  hotKeys_->reservedByDesktop.insert({carbon::zero, kCOC});
  onKeyUp(Names::cameraOff, [] {});  // ours: ⌃⌥⌘0

  startRecording();
  QTest::keyClick(recorder_, Qt::Key_F12);
  EXPECT_EQ(recorder_->alert(), nullptr);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::f12, 0));

  startRecording();
  QTest::keyClick(recorder_, Qt::Key_0, kCtrlAltSuper);
  EXPECT_EQ(recorder_->alert(), nullptr);
  EXPECT_EQ(storedShortcut(Names::cameraOn), Shortcut(carbon::zero, kCOC));

  hotKeys_->reservedByDesktop.insert({carbon::f12, carbon::shiftKey});
  startRecording();
  QTest::keyClick(recorder_, Qt::Key_F12, Qt::ShiftModifier);
  EXPECT_NE(waitForAlert(), nullptr);
}
