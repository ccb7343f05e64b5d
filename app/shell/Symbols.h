#pragma once
// The app's symbol images: monochrome SVGs drawn for Tovrelle, looked up by
// the names the interface uses ("video.fill", "gearshape", …) and painted in
// one colour, the way template images take the colour of where they sit.
// Thread-bound (main thread): pixmaps and icons belong to the GUI thread.
#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QStringList>

namespace tovrelle::symbols {

// Every symbol name the app ships.
QStringList names();
bool exists(const QString& name);

// The symbol at `size` device pixels in `color`; a null image for unknown names.
QImage image(const QString& name, QSize size, const QColor& color);
QPixmap pixmap(const QString& name, QSize size, const QColor& color, qreal devicePixelRatio = 1.0);
// The symbol at the usual panel and menu sizes (16 to 64 pixels); a null icon for unknown names.
QIcon icon(const QString& name, const QColor& color);

}  // namespace tovrelle::symbols
