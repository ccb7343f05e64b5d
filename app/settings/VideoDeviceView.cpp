#include "app/settings/VideoDeviceView.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/installer/StatusText.h"
#include "app/settings/SettingsStyle.h"

namespace tovrelle::settings {
namespace {

using State = VideoDeviceStatus::State;

// Wraps to its width; its minimum is one line, so the form takes the height
// the text needs at the real width rather than at a narrow guess.
class WrappingLabel : public QLabel {
 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override { return {QLabel::minimumSizeHint().width(), fontMetrics().height()}; }
};

QLabel* wrappingLabel(QWidget* parent, TextStyle style) {
  auto* label = new WrappingLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(true);
  setSecondary(*label, style);
  return label;
}

}  // namespace

VideoDeviceView::VideoDeviceView(VideoDeviceStatus* status, QWidget* parent, TextStyle style)
    : QWidget(parent), status_(status) {
  auto* rows = new QVBoxLayout(this);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(6);
  text_ = wrappingLabel(this, style);
  text_->setObjectName(QStringLiteral("videoDeviceText"));
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  rows->addWidget(text_);
  // Meant to be copied into a terminal: monospace, selectable, apart from the prose.
  command_ = wrappingLabel(this, style);
  command_->setObjectName(QStringLiteral("videoDeviceCommand"));
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSizeF(command_->font().pointSizeF());
  command_->setFont(mono);
  command_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  command_->setCursor(Qt::IBeamCursor);
  rows->addWidget(command_);

  //: Button that loads the v4l2loopback kernel module (asks for the administrator password)
  load_ = new QPushButton(qtTrId("videoDevice.load"), this);
  load_->setAutoDefault(false);
  connect(load_, &QPushButton::clicked, this, [this] {
    if (status_) status_->loadModule();
  });
  auto* buttonRow = new QHBoxLayout;
  buttonRow->setContentsMargins(0, 0, 0, 0);
  buttonRow->addWidget(load_);
  buttonRow->addStretch(1);
  rows->addLayout(buttonRow);

  failure_ = wrappingLabel(this, style);
  failure_->setObjectName(QStringLiteral("videoDeviceLoadFailure"));
  failure_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QPalette palette = failure_->palette();
  palette.setColor(QPalette::WindowText, QColor(0xc0, 0x39, 0x2b));
  failure_->setPalette(palette);
  rows->addWidget(failure_);

  if (status_) connect(status_, &VideoDeviceStatus::changed, this, &VideoDeviceView::redraw);
  redraw();
}

void VideoDeviceView::redraw() {
  if (!status_) {
    text_->clear();
    command_->hide();
    load_->hide();
    failure_->hide();
    return;
  }
  const State state = status_->state();
  text_->setText(status_text::videoDevice(status_text::Place::settings, *status_));
  const QString toRun = status_text::videoDeviceCommand(*status_);
  command_->setText(toRun);
  command_->setVisible(!toRun.isEmpty());
  load_->setVisible(state == State::notLoaded || state == State::loading);
  load_->setEnabled(state == State::notLoaded);
  const QString failure = status_->loadFailure();
  //: Video device: loading the kernel module failed; %1 is what modprobe or pkexec said
  failure_->setText(failure.isEmpty() ? QString() : qtTrId("videoDevice.loadFailed").arg(failure));
  failure_->setVisible(!failure.isEmpty());
}

void VideoDeviceView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (status_ && !watching_) watching_ = status_->watch();
}

void VideoDeviceView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // A minimized window is still a look at the state; one taken off screen is not.
  if (event->spontaneous()) return;
  watching_.reset();
}

}  // namespace tovrelle::settings
