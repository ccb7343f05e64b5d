#include "app/shell/StatusItem.h"

#include <QApplication>
#include <QEvent>
#include <QPalette>
#include <QSystemTrayIcon>

#include "app/shell/Symbols.h"
#include "platform/log/Log.h"

namespace tovrelle {

TrayStatusItem::TrayStatusItem(QObject* parent) : StatusItem(parent), tray_(new QSystemTrayIcon(this)) {
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) emit activated();
  });
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    log::processLog(
        "StatusItem: no system tray on this desktop; the status item stays hidden (the shortcuts work, and "
        "starting tovrelle again opens the popover)");
  // Template images follow the panel's colours.
  qApp->installEventFilter(this);
}

TrayStatusItem::~TrayStatusItem() {
  if (qApp) qApp->removeEventFilter(this);
}

QColor TrayStatusItem::panelTextColor() { return QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText); }

void TrayStatusItem::setImage(const QString& symbolName) {
  imageName_ = symbolName;
  redraw();
}

void TrayStatusItem::redraw() {
  tray_->setIcon(imageName_.isEmpty() ? QIcon() : symbols::icon(imageName_, panelTextColor()));
  // Shown once there is something to show; a tray item without an image is only a gap.
  tray_->setVisible(!imageName_.isEmpty());
}

void TrayStatusItem::setToolTip(const QString& toolTip) { tray_->setToolTip(toolTip); }

QString TrayStatusItem::toolTip() const { return tray_->toolTip(); }

QRect TrayStatusItem::buttonGeometry() const { return tray_->geometry(); }

bool TrayStatusItem::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::ThemeChange))
    redraw();
  return false;
}

}  // namespace tovrelle
