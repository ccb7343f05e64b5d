#pragma once
// The tray panel's preview: a black rounded rectangle with the renderer's current frame
// fitted into it. One accessibility element, labelled by the camera mode.
// Thread-bound (main thread): the renderer hands its frames over there.
#include <QPointer>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QWidget>

namespace tovrelle {

class PreviewRenderer;

namespace popover {

class PreviewArea final : public QWidget {
  Q_OBJECT

 public:
  PreviewArea(PreviewRenderer* preview, QWidget* parent);

  // Said over the picture, with a line that others see black; empty says nothing.
  void setNotice(const QString& notice);
  const QString& notice() const { return notice_; }

  // Where the frame is drawn: as large as fits, centred.
  QRectF frameRect(const QSize& frameSize) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPointer<PreviewRenderer> preview_;
  QString notice_;
};

}  // namespace popover
}  // namespace tovrelle
