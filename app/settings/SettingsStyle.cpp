#include "app/settings/SettingsStyle.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QWidget>
#include <cmath>

namespace tovrelle::settings {
namespace {

QPixmap drawnAppMark(int side) {
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient gradient(0, 0, 0, side);
  gradient.setColorAt(0, QColor(88, 86, 214));
  gradient.setColorAt(1, QColor(52, 120, 246));
  const qreal inset = side * 0.06;
  const QRectF square(inset, inset, side - 2 * inset, side - 2 * inset);
  p.setPen(Qt::NoPen);
  p.setBrush(gradient);
  p.drawRoundedRect(square, side * 0.22, side * 0.22);
  // A camera body and its lens housing.
  p.setBrush(Qt::white);
  const qreal unit = square.width() / 10.0;
  const QRectF body(square.left() + 2 * unit, square.top() + 3.3 * unit, 4.4 * unit, 3.4 * unit);
  p.drawRoundedRect(body, unit * 0.8, unit * 0.8);
  QPainterPath lens;
  lens.moveTo(body.right() + 0.4 * unit, body.center().y() - 0.5 * unit);
  lens.lineTo(body.right() + 2.0 * unit, body.top() + 0.2 * unit);
  lens.lineTo(body.right() + 2.0 * unit, body.bottom() - 0.2 * unit);
  lens.lineTo(body.right() + 0.4 * unit, body.center().y() + 0.5 * unit);
  lens.closeSubpath();
  p.drawPath(lens);
  p.end();
  return QPixmap::fromImage(image);
}

constexpr const char* kDecorativeProperty = "tovrelleDecorative";

// What assistive technologies see of a decorative widget: nothing to read.
class DecorativeAccessible : public QAccessibleWidget {
 public:
  explicit DecorativeAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::NoRole) {}
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.invisible = true;
    return s;
  }
  QString text(QAccessible::Text) const override { return {}; }
};

QAccessibleInterface* decorativeFactory(const QString&, QObject* object) {
  auto* widget = qobject_cast<QWidget*>(object);
  if (widget && widget->property(kDecorativeProperty).toBool()) return new DecorativeAccessible(widget);
  return nullptr;
}

}  // namespace

QString text(const char* key) { return qtTrId(key); }

QString text(const char* key, const QString& fallback) {
  const QString found = qtTrId(key);
  return found == QLatin1String(key) ? fallback : found;
}

QIcon applicationIcon() {
  QIcon icon = QGuiApplication::windowIcon();
  if (!icon.isNull()) return icon;
  if (QIcon::hasThemeIcon(QStringLiteral("tovrelle"))) return QIcon::fromTheme(QStringLiteral("tovrelle"));
  QIcon drawn;
  for (int side : {64, 128}) drawn.addPixmap(drawnAppMark(side));
  return drawn;
}

QFont font(const QWidget& widget, TextStyle style) {
  QFont f = widget.font();
  const qreal base = f.pointSizeF() > 0 ? f.pointSizeF() : 10.0;
  switch (style) {
    case TextStyle::Body: break;
    case TextStyle::Title2:
      f.setPointSizeF(base * 1.35);
      f.setWeight(QFont::DemiBold);
      break;
    case TextStyle::Headline: f.setWeight(QFont::Bold); break;
    case TextStyle::Callout: f.setPointSizeF(base * 0.93); break;
    case TextStyle::Footnote: f.setPointSizeF(base * 0.85); break;
    case TextStyle::Caption: f.setPointSizeF(base * 0.82); break;
  }
  return f;
}

QColor primaryColor(const QWidget& widget) { return widget.palette().color(QPalette::WindowText); }

namespace {

double luminance(const QColor& color) {
  auto channel = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
  return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) + 0.0722 * channel(color.blueF());
}

QColor mix(const QColor& ink, const QColor& paper, double inkShare) {
  return QColor::fromRgbF(float(ink.redF() * inkShare + paper.redF() * (1 - inkShare)),
                          float(ink.greenF() * inkShare + paper.greenF() * (1 - inkShare)),
                          float(ink.blueF() * inkShare + paper.blueF() * (1 - inkShare)));
}

}  // namespace

double contrastRatio(const QColor& a, const QColor& b) {
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor secondaryTextColor(const QPalette& palette) {
  constexpr double kMinimum = 4.5;
  const QColor ink = palette.color(QPalette::Active, QPalette::WindowText);
  const QColor window = palette.color(QPalette::Active, QPalette::Window);
  const QColor base = palette.color(QPalette::Active, QPalette::Base);
  // Softer looks quieter; the first share that reads on both backgrounds wins.
  for (double share = 0.55; share < 1.0; share += 0.05) {
    const QColor c = mix(ink, window, share);
    if (contrastRatio(c, window) >= kMinimum && contrastRatio(c, base) >= kMinimum) return c;
  }
  return ink;
}

QColor secondaryColor(const QWidget& widget) { return secondaryTextColor(widget.palette()); }

QColor linkColor(const QWidget& widget) { return widget.palette().color(QPalette::Link); }

namespace {
QColor mixed(const QColor& from, const QColor& to, qreal amount) {
  return QColor::fromRgbF(from.redF() + (to.redF() - from.redF()) * amount,
                          from.greenF() + (to.greenF() - from.greenF()) * amount,
                          from.blueF() + (to.blueF() - from.blueF()) * amount);
}
}  // namespace

QColor cardColor(const QWidget& widget) {
  const QPalette& palette = widget.palette();
  return mixed(palette.color(QPalette::Window), palette.color(QPalette::WindowText), 0.08);
}

QColor cardBorderColor(const QWidget& widget) {
  const QPalette& palette = widget.palette();
  return mixed(palette.color(QPalette::Window), palette.color(QPalette::WindowText), 0.30);
}

void hideFromAccessibility(QWidget& widget) {
  static const bool installed = [] {
    QAccessible::installFactory(decorativeFactory);
    return true;
  }();
  (void)installed;
  widget.setProperty(kDecorativeProperty, true);
}

void setSecondary(QWidget& widget, TextStyle style) {
  widget.setFont(font(widget, style));
  QPalette palette = widget.palette();
  palette.setColor(QPalette::WindowText, secondaryColor(widget));
  palette.setColor(QPalette::Text, secondaryColor(widget));
  widget.setPalette(palette);
}

}  // namespace tovrelle::settings
