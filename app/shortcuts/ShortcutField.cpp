#include "app/shortcuts/ShortcutField.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>

#include "app/shortcuts/Localization.h"

namespace KeyboardShortcuts {
namespace {

// Presses of the modifier keys themselves only change the held modifiers.
bool isModifierKey(int key) {
  switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Mode_switch: return true;
    default: return false;
  }
}

// F1 to F35 are the only keys that work without a modifier.
bool isFunctionKey(int key) { return key >= Qt::Key_F1 && key <= Qt::Key_F35; }

}  // namespace

ShortcutField::ShortcutField(ShortcutRegistry& registry, const Name& name, OnChange onChange, QWidget* parent)
    : QLineEdit(parent), registry_(registry), shortcutName_(name), onChange_(std::move(onChange)) {
  registry_.addName(shortcutName_);
  setAlignment(Qt::AlignCenter);
  // Keys are recorded, never typed; read-only also hides the text caret.
  setReadOnly(true);
  setContextMenuPolicy(Qt::NoContextMenu);
  setAcceptDrops(false);
  setFocusPolicy(Qt::StrongFocus);
  setMinimumWidth(minimumWidth);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

  clearButton_ = addAction(style()->standardIcon(QStyle::SP_LineEditClearButton), QLineEdit::TrailingPosition);
  clearButton_->setObjectName(QStringLiteral("clearButton"));
  connect(clearButton_, &QAction::triggered, this, [this] {
    if (registry_.storedShortcut(shortcutName_)) clearShortcut();
  });

  storedShortcutWatch_ =
      connect(&registry_, &ShortcutRegistry::shortcutByNameDidChange, this, [this](const Name& changed) {
        if (changed == shortcutName_) showStoredShortcut();
      });
  setPlaceholderText(localized("record_shortcut"));
  showStoredShortcut();
}

ShortcutField::~ShortcutField() {
  // A field that goes away while recording must not leave the hot keys off.
  stopRecording();
}

QSize ShortcutField::sizeHint() const {
  QSize size = QLineEdit::sizeHint();
  const QFontMetrics metrics = fontMetrics();
  const int textWidth =
      std::max({metrics.horizontalAdvance(text()), metrics.horizontalAdvance(localized("record_shortcut")),
                metrics.horizontalAdvance(localized("press_shortcut"))});
  // Room on both sides for the clear button, so the text stays centred.
  const int buttonWidth = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this) + 8;
  size.setWidth(std::max(minimumWidth, textWidth + 2 * buttonWidth + 12));
  return size;
}

QSize ShortcutField::minimumSizeHint() const {
  QSize size = QLineEdit::minimumSizeHint();
  size.setWidth(std::max(size.width(), minimumWidth));
  return size;
}

void ShortcutField::showStoredShortcut() {
  auto shortcut = registry_.storedShortcut(shortcutName_);
  setText(shortcut && !isRecording() ? registry_.description(*shortcut) : QString());
  updateClearButton();
  updateGeometry();
}

// While recording the field is empty, so its "Press shortcut" prompt shows;
// the clear button stays while a shortcut is stored.
void ShortcutField::updateClearButton() {
  clearButton_->setVisible(registry_.storedShortcut(shortcutName_).has_value());
}

void ShortcutField::startRecording() {
  if (watchingClicks_) return;
  setPlaceholderText(localized("press_shortcut"));
  // Pressing a shortcut that is already in use records it instead of running it.
  registry_.setHandlersPaused(true);
  qApp->installEventFilter(this);
  watchingClicks_ = true;
  showStoredShortcut();
}

void ShortcutField::stopRecording() {
  if (!watchingClicks_) return;
  qApp->removeEventFilter(this);
  watchingClicks_ = false;
  setPlaceholderText(localized("record_shortcut"));
  registry_.setHandlersPaused(false);
  showStoredShortcut();
}

void ShortcutField::blur() {
  stopRecording();
  if (hasFocus()) clearFocus();
}

void ShortcutField::resumeRecording() {
  if (hasFocus()) {
    startRecording();
  } else {
    setFocus(Qt::OtherFocusReason);
  }
}

void ShortcutField::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  startRecording();
}

void ShortcutField::focusOutEvent(QFocusEvent* event) {
  stopRecording();
  QLineEdit::focusOutEvent(event);
}

void ShortcutField::mousePressEvent(QMouseEvent* event) {
  QLineEdit::mousePressEvent(event);
  // Focused but idle after Tab found nothing else to focus: a click records.
  if (hasFocus() && !isRecording()) startRecording();
}

void ShortcutField::changeEvent(QEvent* event) {
  QLineEdit::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) blur();
}

void ShortcutField::hideEvent(QHideEvent* event) {
  // Closing the window must not leave the field recording when it reopens.
  blur();
  QLineEdit::hideEvent(event);
}

bool ShortcutField::event(QEvent* event) {
  if (event->type() == QEvent::ParentChange) blur();  // moved to another window
  if (isRecording()) {
    switch (event->type()) {
      case QEvent::ShortcutOverride:
        // Keys go to the field, not to the window's shortcuts.
        event->accept();
        return true;
      case QEvent::KeyPress:
        if (handleKeyDown(*static_cast<QKeyEvent*>(event))) {
          event->accept();
          return true;
        }
        break;
      case QEvent::KeyRelease: return true;
      default: break;
    }
  }
  return QLineEdit::event(event);
}

bool ShortcutField::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease && isRecording()) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton || mouse->button() == Qt::RightButton) {
      const QRectF area = QRectF(mapToGlobal(QPointF(0, 0)), QSizeF(size()))
                              .adjusted(-clickMargin, -clickMargin, clickMargin, clickMargin);
      if (!area.contains(mouse->globalPosition())) blur();
    }
  }
  return QLineEdit::eventFilter(watched, event);
}

bool ShortcutField::handleKeyDown(const QKeyEvent& event) {
  const int key = event.key();
  if (isModifierKey(key)) return true;
  // Caps Lock, the numeric pad and the function key do not count as modifiers.
  const Qt::KeyboardModifiers modifiers =
      event.modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  const bool noModifiers = modifiers == Qt::NoModifier;

  if (noModifiers && key == Qt::Key_Tab) {
    // Let the key move the focus on.
    stopRecording();
    return false;
  }
  if (noModifiers && key == Qt::Key_Escape) {
    blur();
    return true;
  }
  if (noModifiers && (key == Qt::Key_Backspace || key == Qt::Key_Delete)) {
    clearButton_->trigger();
    return true;
  }
  if ((modifiers & ~Qt::ShiftModifier) == Qt::NoModifier && !isFunctionKey(key)) {
    if (beep_) beep_();
    return true;
  }
  const std::optional<Shortcut> shortcut = registry_.shortcutOf(event);
  if (!shortcut) {
    if (beep_) beep_();
    return true;
  }
  const bool plainF12 = shortcut->keyCode == tovrelle::hotkeys::key::f12 && shortcut->modifiers == 0;
  if (!plainF12 && registry_.isTakenBySystem(*shortcut)) {
    blur();
    showSystemAlert(*shortcut);
    return true;
  }
  accept(*shortcut);
  return true;
}

void ShortcutField::accept(const Shortcut& shortcut) {
  setText(registry_.description(shortcut));
  updateClearButton();
  registry_.storeShortcut(shortcut, shortcutName_);
  if (onChange_) onChange_(shortcut);
  blur();
}

void ShortcutField::clearShortcut() {
  setText(QString());
  updateClearButton();
  registry_.storeShortcut(std::nullopt, shortcutName_);
  if (onChange_) onChange_(std::nullopt);
  resumeRecording();
}

QMessageBox* ShortcutField::makeAlert() {
  if (alert_) alert_->close();
  // Modal for the field's window only.
  auto* box = new QMessageBox(window());
  box->setObjectName(QStringLiteral("KeyboardShortcutsAlert"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->setIcon(QMessageBox::Warning);
  alert_ = box;
  return box;
}

void ShortcutField::showSystemAlert(const Shortcut& shortcut) {
  QMessageBox* box = makeAlert();
  box->setText(localized("keyboard_shortcut_used_by_system"));
  box->setInformativeText(localized("keyboard_shortcuts_can_be_changed"));
  QPushButton* ok = box->addButton(localized("ok"), QMessageBox::AcceptRole);
  QPushButton* force = box->addButton(localized("force_use_shortcut"), QMessageBox::DestructiveRole);
  box->setDefaultButton(ok);
  box->setEscapeButton(ok);
  connect(box, &QMessageBox::finished, this, [this, box, force, shortcut] {
    if (box->clickedButton() == force) {
      accept(shortcut);
    } else {
      resumeRecording();
    }
  });
  box->open();
}

}  // namespace KeyboardShortcuts
