#include "app/shell/Symbols.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <cmath>

namespace tovrelle::symbols {
namespace {

QString resourcePath(const QString& name) { return QStringLiteral(":/symbols/%1.svg").arg(name); }

}  // namespace

QStringList names() {
  QStringList out;
  for (const QString& file : QDir(QStringLiteral(":/symbols")).entryList({QStringLiteral("*.svg")}, QDir::Files))
    out << file.chopped(4);
  return out;
}

bool exists(const QString& name) { return !name.isEmpty() && QFile::exists(resourcePath(name)); }

QImage image(const QString& name, QSize size, const QColor& color) {
  if (!exists(name) || size.isEmpty()) return {};
  QSvgRenderer renderer(resourcePath(name));
  if (!renderer.isValid()) return {};
  QImage out(size, QImage::Format_ARGB32_Premultiplied);
  out.fill(Qt::transparent);
  QPainter painter(&out);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  // Keep the drawing's coverage, take the colour from the caller.
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(out.rect(), color);
  painter.end();
  return out;
}

QPixmap pixmap(const QString& name, QSize size, const QColor& color, qreal devicePixelRatio) {
  const QSize device(static_cast<int>(std::lround(size.width() * devicePixelRatio)),
                     static_cast<int>(std::lround(size.height() * devicePixelRatio)));
  QImage img = image(name, device, color);
  if (img.isNull()) return {};
  QPixmap pm = QPixmap::fromImage(img);
  pm.setDevicePixelRatio(devicePixelRatio);
  return pm;
}

QIcon icon(const QString& name, const QColor& color) {
  if (!exists(name)) return {};
  QIcon result;
  for (int side : {16, 22, 24, 32, 48, 64}) {
    const QImage img = image(name, QSize(side, side), color);
    if (!img.isNull()) result.addPixmap(QPixmap::fromImage(img));
  }
  return result;
}

}  // namespace tovrelle::symbols
