#include "app/shell/DesktopPalette.h"

#include <QApplication>
#include <QPointer>
#include <QStyle>

#include "platform/log/Log.h"

namespace tovrelle {

DesktopPalette::DesktopPalette(appearance::DesktopAppearance& desktop, QObject* parent)
    : QObject(parent), started_(QApplication::palette()) {
  dark_ = isDarkPalette(started_);
  QPointer<DesktopPalette> self(this);
  desktop.setChangeHandler([self](appearance::ColorScheme scheme) {
    if (self) self->follow(scheme);
  });
  follow(desktop.colorScheme());
}

QPalette DesktopPalette::darkPalette() {
  QPalette p;
  const auto set = [&p](QPalette::ColorRole role, QRgb rgb) { p.setColor(role, QColor::fromRgb(rgb)); };
  set(QPalette::Window, 0x2d2d2d);
  set(QPalette::WindowText, 0xeeeeee);
  set(QPalette::Base, 0x1e1e1e);
  set(QPalette::AlternateBase, 0x353535);
  set(QPalette::Text, 0xeeeeee);
  set(QPalette::PlaceholderText, 0xa0a0a0);
  set(QPalette::Button, 0x3a3a3a);
  set(QPalette::ButtonText, 0xeeeeee);
  set(QPalette::BrightText, 0xffffff);
  set(QPalette::Light, 0x4a4a4a);
  set(QPalette::Midlight, 0x404040);
  set(QPalette::Mid, 0x303030);
  set(QPalette::Dark, 0x202020);
  set(QPalette::Shadow, 0x101010);
  set(QPalette::Highlight, 0x3584e4);
  set(QPalette::HighlightedText, 0xffffff);
  set(QPalette::Link, 0x78aeed);
  set(QPalette::LinkVisited, 0xb58ee6);
  set(QPalette::ToolTipBase, 0x3a3a3a);
  set(QPalette::ToolTipText, 0xeeeeee);
  for (auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
    p.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
  return p;
}

bool DesktopPalette::isDarkPalette(const QPalette& palette) {
  return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

void DesktopPalette::follow(appearance::ColorScheme scheme) {
  using appearance::ColorScheme;
  QPalette next = started_;
  // A platform theme that already follows the desktop (its own dark palette) is kept.
  if (scheme == ColorScheme::dark && !isDarkPalette(started_)) next = darkPalette();
  if (scheme == ColorScheme::light && isDarkPalette(started_)) next = QApplication::style()->standardPalette();
  const bool dark = isDarkPalette(next);
  if (dark == dark_ && next == QApplication::palette()) return;
  dark_ = dark;
  QApplication::setPalette(next);
  log::processLog("DesktopPalette: the app now uses a %s palette", dark ? "dark" : "light");
}

}  // namespace tovrelle
