#include "app/settings/Icons.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>
#include <cmath>

namespace tovrelle::icons {
namespace {

QString bundledPath(const QString& name) { return QStringLiteral(":/tovrelle-icons/%1.svg").arg(name); }

bool isBundled(const QString& name) { return !name.isEmpty() && QFile::exists(bundledPath(name)); }

// Keeps the drawing's coverage and takes the colour from the caller.
QImage tinted(QImage image, const QColor& color) {
  QPainter painter(&image);
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(image.rect(), color);
  painter.end();
  return image;
}

QImage blank(QSize size) {
  QImage out(size, QImage::Format_ARGB32_Premultiplied);
  out.fill(Qt::transparent);
  return out;
}

QImage themeImage(const QString& name, QSize size) {
  // hasThemeIcon wants the name itself: Qt would otherwise settle for a
  // shorter name ("list" for "list-add-symbolic"), which means something else.
  if (name.isEmpty() || !QIcon::hasThemeIcon(name)) return {};
  const QPixmap drawn = QIcon::fromTheme(name).pixmap(size, 1.0);
  if (drawn.isNull()) return {};
  // A theme without this size hands back a smaller picture: centred, not stretched.
  QImage out = blank(size);
  QPainter painter(&out);
  const QSize at = drawn.deviceIndependentSize().toSize();
  painter.drawPixmap((size.width() - at.width()) / 2, (size.height() - at.height()) / 2, drawn);
  painter.end();
  return out;
}

}  // namespace

QStringList bundledNames() {
  QStringList out;
  for (const QString& file :
       QDir(QStringLiteral(":/tovrelle-icons")).entryList({QStringLiteral("*.svg")}, QDir::Files, QDir::Name))
    out << file.chopped(4);
  return out;
}

QImage bundledImage(const QString& name, QSize size, const QColor& color) {
  if (size.isEmpty() || !isBundled(name)) return {};
  QSvgRenderer renderer(bundledPath(name));
  if (!renderer.isValid()) return {};
  QImage out = blank(size);
  QPainter painter(&out);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  painter.end();
  return tinted(std::move(out), color);
}

QImage image(const QString& name, QSize size, const QColor& color) {
  if (size.isEmpty()) return {};
  QImage themed = themeImage(name, size);
  if (!themed.isNull()) return tinted(std::move(themed), color);
  return bundledImage(name, size, color);
}

QPixmap pixmap(const QString& name, QSize size, const QColor& color, qreal devicePixelRatio) {
  const QSize device(static_cast<int>(std::lround(size.width() * devicePixelRatio)),
                     static_cast<int>(std::lround(size.height() * devicePixelRatio)));
  const QImage drawn = image(name, device, color);
  if (drawn.isNull()) return {};
  QPixmap out = QPixmap::fromImage(drawn);
  out.setDevicePixelRatio(devicePixelRatio);
  return out;
}

QIcon icon(const QString& name, const QColor& color) {
  // Every row of a long library asks for the same few icons: each is drawn
  // once per colour and icon theme.
  static QHash<QString, QIcon> drawn;
  const QString key = name + QLatin1Char('|') + color.name(QColor::HexArgb) + QLatin1Char('|') + QIcon::themeName() +
                      QLatin1Char('|') + QIcon::themeSearchPaths().join(QLatin1Char(':'));
  if (auto found = drawn.constFind(key); found != drawn.constEnd()) return *found;
  QIcon result;
  for (int side : {16, 20, 22, 24, 32, 48, 64}) {
    const QImage one = image(name, QSize(side, side), color);
    if (!one.isNull()) result.addPixmap(QPixmap::fromImage(one));
  }
  drawn.insert(key, result);
  return result;
}

}  // namespace tovrelle::icons
