#include "app/shell/PopoverWindow.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QHideEvent>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/tray/SwayIpc.h"

namespace tovrelle {

namespace {

constexpr int kGap = 4;  // between the item (or the click) and the popover

bool onWayland() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

// The pointer stands for the click the tray swallowed, where the platform
// reports a pointer position at all.
std::optional<QPoint> pointerAtClick() {
  if (onWayland()) return std::nullopt;
  const QPoint pointer = QCursor::pos();
  if (!QGuiApplication::screenAt(pointer)) return std::nullopt;
  return pointer;
}

}  // namespace

// A Wayland client cannot place a window, and a popup there hangs off
// whichever of our windows last had input (a Settings window, say): a
// top-level of its own is placed by the compositor like any new window.
Qt::WindowFlags PopoverWindow::windowFlagsFor(const QString& platformName) {
  const Qt::WindowType kind = platformName.startsWith(QLatin1String("wayland")) ? Qt::Window : Qt::Popup;
  return kind | Qt::FramelessWindowHint;
}

PopoverWindow::PopoverWindow(QWidget* content, QWidget* parent)
    : QWidget(onWayland() ? nullptr : parent, windowFlagsFor(QGuiApplication::platformName())),
      content_(content),
      clock_([] { return std::chrono::steady_clock::now(); }) {
  setObjectName(QStringLiteral("popover"));
  setWindowTitle(QStringLiteral("Tovrelle"));
  // The click that closes the popover goes nowhere else, not even to our own
  // tray icon, or it would open the popover again at once.
  setAttribute(Qt::WA_NoMouseReplay);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(content_);
}

PopoverWindow::PanelEdge PopoverWindow::panelEdge(const QRect& screen, const QRect& available) {
  const int top = available.top() - screen.top();
  const int bottom = screen.bottom() - available.bottom();
  const int left = available.left() - screen.left();
  const int right = screen.right() - available.right();
  // No panel keeps room (or the panel is not known): the top, where most trays are.
  PanelEdge edge = PanelEdge::top;
  int most = top;
  if (bottom > most) edge = PanelEdge::bottom, most = bottom;
  if (left > most) edge = PanelEdge::left, most = left;
  if (right > most) edge = PanelEdge::right;
  return edge;
}

QPoint PopoverWindow::placement(const QSize& size, const QRect& anchor, std::optional<QPoint> click,
                                const QRect& screen, const QRect& available) {
  QPoint at;
  const QRect target = !anchor.isEmpty() ? anchor : click ? QRect(*click, QSize(1, 1)) : QRect();
  if (target.isValid()) {
    at.setX(target.center().x() - size.width() / 2);
    // Under the item, unless it sits in the lower half (a panel at the bottom): then over it.
    if (target.center().y() <= screen.center().y())
      at.setY(target.bottom() + 1 + kGap);
    else
      at.setY(target.top() - kGap - size.height());
  } else {
    const int leftX = available.left();
    const int rightX = available.right() + 1 - size.width();
    const int topY = available.top();
    const int bottomY = available.bottom() + 1 - size.height();
    switch (panelEdge(screen, available)) {
      case PanelEdge::top: at = QPoint(rightX, topY); break;
      case PanelEdge::bottom: at = QPoint(rightX, bottomY); break;
      case PanelEdge::left: at = QPoint(leftX, bottomY); break;
      case PanelEdge::right: at = QPoint(rightX, bottomY); break;
    }
  }
  at.setX(std::clamp(at.x(), available.left(), std::max(available.left(), available.right() + 1 - size.width())));
  at.setY(std::clamp(at.y(), available.top(), std::max(available.top(), available.bottom() + 1 - size.height())));
  return at;
}

void PopoverWindow::showRelativeTo(const QRect& anchor) {
  showRelativeTo(anchor, anchor.isEmpty() ? pointerAtClick() : std::nullopt);
}

void PopoverWindow::showRelativeTo(const QRect& anchor, std::optional<QPoint> click) {
  adjustSize();
  closedByClickAt_.reset();
  QScreen* screen = nullptr;
  if (!anchor.isEmpty())
    screen = QGuiApplication::screenAt(anchor.center());
  else if (click)
    screen = QGuiApplication::screenAt(*click);
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect whole = screen ? screen->geometry() : QRect(0, 0, 1280, 800);
  const QRect available = screen ? screen->availableGeometry() : whole;
  if (onWayland()) {
    // Clients have no global coordinates here: the compositor places the
    // window, so no position we computed, stale or not, is applied through
    // Qt. A fixed width tells tiling compositors to float it rather than
    // tile it; sway then takes a position over its IPC once the window is up.
    setFixedWidth(width());
    swayTarget_.reset();
    if (tray::swayAvailable() && (!anchor.isEmpty() || click))
      swayTarget_ = placement(size(), anchor, click, whole, available);
    swayPending_ = tray::swayAvailable();
    show();
    raise();
    activateWindow();
    return;
  }
  move(placement(size(), anchor, click, whole, available));
  show();
  raise();
}

void PopoverWindow::placeOnSway() {
  if (!swayPending_) return;
  swayPending_ = false;
  const QString criteria = QStringLiteral("[pid=%1 title=\"^%2$\"]")
                               .arg(QCoreApplication::applicationPid())
                               .arg(QRegularExpression::escape(windowTitle()));
  // With no position from the panel, the pointer is where the click was.
  tray::swayCommand(
      swayTarget_
          ? criteria + QStringLiteral(" move absolute position %1 %2").arg(swayTarget_->x()).arg(swayTarget_->y())
          : criteria + QStringLiteral(" move position cursor"));
}

bool PopoverWindow::isShown() const {
  if (isVisible()) return true;
  return closedByClickAt_ && clock_() - *closedByClickAt_ < kClosingClickWindow;
}

void PopoverWindow::performClose() {
  // A toggle that finds the popover just closed by a click ends the matter.
  closedByClickAt_.reset();
  closingOnRequest_ = true;
  close();
  closingOnRequest_ = false;
}

void PopoverWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (event->spontaneous()) return;
  // Not asked for and not Esc: a click elsewhere (or the compositor) closed it.
  if (!closingOnRequest_) closedByClickAt_ = clock_();
  emit didClose();
}

void PopoverWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // A click elsewhere never reaches a Wayland client; what it sees is that
  // the popover lost the keyboard to another window.
  if (event->type() != QEvent::ActivationChange || !onWayland() || !isVisible()) return;
  // Active means mapped: the compositor now knows the window it is to move.
  if (isActiveWindow())
    placeOnSway();
  else
    hide();
}

void PopoverWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    performClose();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace tovrelle
