#pragma once
// The app's icons, asked for by their icon-theme names ("list-add-symbolic",
// "tovrelle-camera-ready-symbolic", …). The current icon theme's icon comes
// first; where the theme has none, the app's own drawing of that name
// (embedded under :/tovrelle-icons) stands in. Either way the icon is painted
// in the caller's colour, keeping only its shape, so it matches the text
// around it the way symbolic icons do.
// Thread-bound (main thread): icons and pixmaps belong to the GUI thread.
#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QStringList>

namespace tovrelle::icons {

// The names the app carries a drawing of.
QStringList bundledNames();

// `name` at `size` device pixels in `color`: the theme's, else ours; a null
// image when neither has it.
QImage image(const QString& name, QSize size, const QColor& color);
// The same at `size` logical pixels for a screen of `devicePixelRatio`.
QPixmap pixmap(const QString& name, QSize size, const QColor& color, qreal devicePixelRatio = 1.0);
// The icon at the usual button, tab and menu sizes (16 to 64 pixels); a null
// icon when neither the theme nor the app has `name`.
QIcon icon(const QString& name, const QColor& color);

// The app's own drawing of `name` alone, never the theme's; for pictures made
// for someone else's background (the tray's drawn icon).
QImage bundledImage(const QString& name, QSize size, const QColor& color);

}  // namespace tovrelle::icons
