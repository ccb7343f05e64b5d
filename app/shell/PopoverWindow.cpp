#include "app/shell/PopoverWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>

namespace tovrelle {

PopoverWindow::PopoverWindow(QWidget* content, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), content_(content) {
  setObjectName(QStringLiteral("popover"));
  setWindowTitle(QStringLiteral("Tovrelle"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(content_);
}

void PopoverWindow::showRelativeTo(const QRect& anchor) {
  adjustSize();
  const QPoint pointer = QCursor::pos();
  QScreen* screen = QGuiApplication::screenAt(anchor.isEmpty() ? pointer : anchor.center());
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
  QPoint at = anchor.isEmpty() ? pointer + QPoint(-width() / 2, 8)
                               : QPoint(anchor.center().x() - width() / 2, anchor.bottom() + 4);
  // A panel at the bottom of the screen: open above the item instead.
  if (at.y() + height() > area.bottom()) at.setY((anchor.isEmpty() ? pointer.y() : anchor.top()) - height() - 4);
  at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - width())));
  at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - height())));
  move(at);
  wasActive_ = false;
  show();
  raise();
  activateWindow();
}

void PopoverWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (!event->spontaneous()) emit didClose();
}

void PopoverWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::ActivationChange) return;
  // Transient: once it had the focus, losing it closes the popover.
  if (isActiveWindow()) {
    wasActive_ = true;
  } else if (wasActive_ && isVisible()) {
    close();
  }
}

void PopoverWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace tovrelle
