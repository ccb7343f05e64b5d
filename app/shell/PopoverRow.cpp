#include "app/shell/PopoverRow.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "app/settings/Icons.h"

namespace tovrelle {
namespace {

// A row is one pressable button named by its title, checked while it carries the mark.
class RowAccessible final : public QAccessibleWidget {
 public:
  explicit RowAccessible(PopoverRow* row) : QAccessibleWidget(row, QAccessible::Button) {}
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.checked = row()->isChecked();
    return state;
  }
  int childCount() const override { return 0; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  QStringList actionNames() const override { return {pressAction()}; }
  void doAction(const QString& name) override {
    if (name == pressAction() && row()->isEnabled()) row()->click();
  }

 private:
  PopoverRow* row() const { return static_cast<PopoverRow*>(widget()); }
};

QAccessibleInterface* rowAccessibleFactory(const QString& className, QObject* object) {
  if (!object || !object->isWidgetType()) return nullptr;
  if (className == QLatin1String(PopoverRow::staticMetaObject.className()))
    return new RowAccessible(static_cast<PopoverRow*>(object));
  return nullptr;
}

}  // namespace

QFont popoverCaptionFont(QFont font) {
  if (font.pointSizeF() > 0) {
    font.setPointSizeF(std::max(7.0, font.pointSizeF() - 2));
  } else {
    font.setPixelSize(std::max(9, font.pixelSize() - 2));
  }
  return font;
}

PopoverRow::PopoverRow(QString title, bool isChecked, bool isEnabled, QImage leadingImage, std::function<void()> action,
                       QWidget* parent)
    : QAbstractButton(parent), title_(std::move(title)), leadingImage_(std::move(leadingImage)) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(rowAccessibleFactory);
    return true;
  }();
  (void)factoryInstalled;
  setCheckable(true);
  setChecked(isChecked);
  setEnabled(isEnabled);
  // Tab and the arrow keys reach every row, Return and Space act; a click
  // does not move the focus (and its ring) to the row clicked.
  setFocusPolicy(Qt::TabFocus);
  setAttribute(Qt::WA_Hover);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setToolTip(title_);
  setAccessibleName(title_);
  setText(title_);
  if (action) connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] { action(); });
}

QSize PopoverRow::sizeHint() const {
  const QFontMetrics fm(font());
  const int content = std::max(fm.height(), leadingImage_.isNull() ? 0 : kLeadingImageSize);
  int width = 2 * kHorizontalPadding + kCheckColumnWidth + kSpacing + fm.horizontalAdvance(title_);
  if (!leadingImage_.isNull()) width += kLeadingImageSize + kSpacing;
  return {width, content + 2 * kVerticalPadding};
}

QSize PopoverRow::minimumSizeHint() const {
  const QFontMetrics fm(font());
  int width = 2 * kHorizontalPadding + kCheckColumnWidth + kSpacing + fm.horizontalAdvance(QStringLiteral("…"));
  if (!leadingImage_.isNull()) width += kLeadingImageSize + kSpacing;
  return {width, sizeHint().height()};
}

QRect PopoverRow::titleRect() const {
  int x = kHorizontalPadding + kCheckColumnWidth + kSpacing;
  if (!leadingImage_.isNull()) x += kLeadingImageSize + kSpacing;
  return QRect(x, kVerticalPadding, std::max(0, width() - x - kHorizontalPadding), height() - 2 * kVerticalPadding);
}

QString PopoverRow::displayedTitle() const {
  return QFontMetrics(font()).elidedText(title_, Qt::ElideRight, titleRect().width());
}

void PopoverRow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  if (drawsHighlight()) {
    QColor accent = palette().color(QPalette::Active, QPalette::Highlight);
    accent.setAlphaF(kHighlightOpacity);
    QPainterPath background;
    background.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    p.fillPath(background, accent);
  }
  const QColor text = palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText);

  // The check column is always there; only the mark comes and goes.
  int x = kHorizontalPadding;
  if (isChecked()) {
    const int side = std::clamp(QFontMetrics(popoverCaptionFont(font())).height() * 3 / 4, 8, kCheckColumnWidth);
    const QRect mark(x + (kCheckColumnWidth - side) / 2, (height() - side) / 2, side, side);
    p.drawPixmap(mark, icons::pixmap(QStringLiteral("object-select-symbolic"), mark.size(), text, devicePixelRatioF()));
  }
  x += kCheckColumnWidth + kSpacing;

  if (!leadingImage_.isNull()) {
    const QSizeF fitted =
        QSizeF(leadingImage_.size()).scaled(kLeadingImageSize, kLeadingImageSize, Qt::KeepAspectRatio);
    const QRectF box(x + (kLeadingImageSize - fitted.width()) / 2, (height() - fitted.height()) / 2, fitted.width(),
                     fitted.height());
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(box, leadingImage_);
  }

  p.setPen(text);
  p.setFont(font());
  p.drawText(titleRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, displayedTitle());

  if (hasFocus()) {
    // The focus ring: the palette's highlight, strong enough on light and dark.
    QPainterPath ring;
    ring.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), kCornerRadius, kCornerRadius);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(palette().color(QPalette::Active, QPalette::Highlight), 2));
    p.drawPath(ring);
  }
}

void PopoverRow::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (isEnabled()) click();
      return;
    case Qt::Key_Up:
    case Qt::Key_Down:
      // The popover moves between its rows.
      event->ignore();
      return;
    default: QAbstractButton::keyPressEvent(event);
  }
}

void PopoverRow::focusInEvent(QFocusEvent* event) {
  QAbstractButton::focusInEvent(event);
  update();
}

void PopoverRow::focusOutEvent(QFocusEvent* event) {
  QAbstractButton::focusOutEvent(event);
  update();
}

void PopoverRow::enterEvent(QEnterEvent* event) {
  QAbstractButton::enterEvent(event);
  isHovering_ = true;
  update();
}

void PopoverRow::leaveEvent(QEvent* event) {
  QAbstractButton::leaveEvent(event);
  isHovering_ = false;
  update();
}

void PopoverRow::changeEvent(QEvent* event) {
  QAbstractButton::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) update();
}

}  // namespace tovrelle
