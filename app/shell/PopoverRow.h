#pragma once
// A row of the tray panel: the check column, an optional thumbnail and the
// title, the whole row one button for the pointer, the keyboard and
// assistive technologies (a pressable button, checked while it carries the
// mark). Thread-bound (main thread).
#include <QAbstractButton>
#include <QFont>
#include <QImage>
#include <QString>
#include <functional>

namespace tovrelle {

// One row: a check column that keeps its place, an optional 16 x 16 image and
// the title on one line (cut short with the whole title as tool tip). The
// whole row is clickable, and an enabled row under the pointer is tinted with
// the accent colour. A click runs the action; the check mark is the model's.
class PopoverRow : public QAbstractButton {
  Q_OBJECT

 public:
  static constexpr int kCheckColumnWidth = 12;
  static constexpr int kLeadingImageSize = 16;
  static constexpr int kSpacing = 6;
  static constexpr int kVerticalPadding = 3;
  static constexpr int kHorizontalPadding = 6;
  static constexpr qreal kCornerRadius = 5;
  static constexpr qreal kHighlightOpacity = 0.18;

  PopoverRow(QString title, bool isChecked, bool isEnabled, QImage leadingImage, std::function<void()> action,
             QWidget* parent = nullptr);

  const QString& title() const { return title_; }
  const QImage& leadingImage() const { return leadingImage_; }
  bool isHovering() const { return isHovering_; }
  // Whether the accent highlight is drawn now.
  bool drawsHighlight() const { return isHovering_ && isEnabled(); }
  // The title as it fits the row's current width.
  QString displayedTitle() const;
  // Where the title is drawn.
  QRect titleRect() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  // A click acts; it does not toggle the mark.
  void nextCheckState() override {}

 private:
  QString title_;
  QImage leadingImage_;
  bool isHovering_ = false;
};

// The panel's small print (captions, the check mark's size): two points
// under `font`, never below 7 points.
QFont popoverCaptionFont(QFont font);

}  // namespace tovrelle
