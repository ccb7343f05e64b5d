#include "app/shell/PreviewArea.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "app/model/PreviewRenderer.h"
#include "app/shell/TrayPanel.h"

namespace tovrelle::popover {
namespace {

class PreviewAccessible final : public QAccessibleWidget {
 public:
  explicit PreviewAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Graphic) {}
  int childCount() const override { return 0; }
  QAccessibleInterface* child(int) const override { return nullptr; }
};

QAccessibleInterface* previewAccessibleFactory(const QString& className, QObject* object) {
  if (!object || !object->isWidgetType()) return nullptr;
  if (className == QLatin1String(PreviewArea::staticMetaObject.className()))
    return new PreviewAccessible(static_cast<QWidget*>(object));
  return nullptr;
}

}  // namespace

PreviewArea::PreviewArea(PreviewRenderer* preview, QWidget* parent) : QWidget(parent), preview_(preview) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(previewAccessibleFactory);
    return true;
  }();
  (void)factoryInstalled;
  setObjectName(QStringLiteral("previewArea"));
  setFixedSize(TrayPanel::kContentWidth, TrayPanel::kPreviewHeight);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  if (preview_) connect(preview_, &PreviewRenderer::currentFrameChanged, this, qOverload<>(&QWidget::update));
}

void PreviewArea::setNotice(const QString& notice) {
  if (notice == notice_) return;
  notice_ = notice;
  update();
}

QRectF PreviewArea::frameRect(const QSize& frameSize) const {
  if (frameSize.isEmpty()) return {};
  const QSizeF fitted = QSizeF(frameSize).scaled(QSizeF(size()), Qt::KeepAspectRatio);
  return QRectF(QPointF((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

void PreviewArea::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath outline;
  outline.addRoundedRect(QRectF(rect()), TrayPanel::kPreviewCornerRadius, TrayPanel::kPreviewCornerRadius);
  p.fillPath(outline, Qt::black);
  if (preview_ && !preview_->currentFrame().isNull()) {
    const QImage& frame = preview_->currentFrame();
    p.setClipPath(outline);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(frameRect(frame.size()), frame);
  }
  if (notice_.isEmpty()) return;
  // White on a dark veil reads over any last frame, in either palette.
  p.setClipPath(outline);
  p.fillRect(rect(), QColor(0, 0, 0, 170));
  const QRect text = rect().adjusted(12, 0, -12, 0);
  QFont title = font();
  title.setBold(true);
  QFont small = font();
  small.setPointSizeF(std::max(7.0, small.pointSizeF() - 1));
  const QFontMetrics titleMetrics(title);
  const QRect titleBox = titleMetrics.boundingRect(text, Qt::AlignHCenter | Qt::TextWordWrap, notice_);
  const int gap = 4;
  const int total = titleBox.height() + gap + QFontMetrics(small).height();
  const int top = (height() - total) / 2;
  p.setPen(Qt::white);
  p.setFont(title);
  p.drawText(QRect(text.left(), top, text.width(), titleBox.height()), Qt::AlignHCenter | Qt::TextWordWrap, notice_);
  p.setFont(small);
  p.setPen(QColor(0xd8, 0xd8, 0xd8));
  //: Second line under a camera problem in the popover preview
  p.drawText(QRect(text.left(), top + titleBox.height() + gap, text.width(), QFontMetrics(small).height()),
             Qt::AlignHCenter, qtTrId("cameraFeed.othersSeeBlack"));
}

}  // namespace tovrelle::popover
