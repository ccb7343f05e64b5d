#include "app/settings/VideoDeviceView.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

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

QString VideoDeviceView::describe(const VideoDeviceStatus& status) {
  const QString device = status.device();
  switch (status.state()) {
    case State::unknown:
      //: Video device: the first look is running
      return qtTrId("videoDevice.unknown");
    case State::moduleMissing:
      //: Video device: the kernel module is not installed
      return qtTrId("videoDevice.moduleMissing");
    case State::notLoaded:
      //: Video device: the kernel module is installed, not loaded; the Load Now button follows
      return qtTrId("videoDevice.notLoaded");
    case State::loading:
      //: Video device: the administrator prompt or the module load is running
      return qtTrId("videoDevice.loading");
    case State::othersOnly: {
      const QStringList labels = status.otherLabels();
      if (labels.isEmpty()) {
        //: Video device: module loaded with no device labelled Tovrelle and none of others; a terminal command follows
        return qtTrId("videoDevice.noDevice");
      }
      const QString list = labels.join(QStringLiteral(", "));
      if (status.report().canAddDevices) {
        //: Video device: another program's devices only, more can be added; %1 their labels; a terminal command follows
        return qtTrId("videoDevice.othersOnly.add").arg(list);
      }
      //: Video device: another program's devices only; %1 their labels; a terminal command follows
      return qtTrId("videoDevice.othersOnly.reload").arg(list);
    }
    case State::refused:
      //: Video device: a device labelled Tovrelle that v4l2loopback did not make; %1 is its /dev path
      return qtTrId("videoDevice.refused").arg(device);
    case State::waitingForService:
      //: Video device: Tovrelle's device exists, the camera service does not write to it (yet); %1 is its /dev path
      return qtTrId("videoDevice.waitingForService").arg(device);
    case State::serviceTooOld:
      //: Video device: the running camera service predates the /dev/video output; %1 is the /dev path
      return qtTrId("videoDevice.serviceTooOld").arg(device);
    case State::disabled:
      //: Video device: the camera service's /dev/video output is turned off
      return qtTrId("videoDevice.disabled");
    case State::busy:
      //: Video device: another program writes to Tovrelle's device; %1 is its /dev path
      return qtTrId("videoDevice.busy").arg(device);
    case State::failed:
      //: Video device: the device refused the camera's format or buffers; %1 is its /dev path
      return qtTrId("videoDevice.failed").arg(device);
    case State::ready:
      //: Video device: streaming, no app reads it; %1 is its /dev path
      return qtTrId("videoDevice.ready").arg(device);
    case State::reading:
      //: Video device: streaming and an app reads it; %1 is its /dev path
      return qtTrId("videoDevice.reading").arg(device);
  }
  return {};
}

QString VideoDeviceView::command(const VideoDeviceStatus& status) {
  return status.state() == State::othersOnly ? status.addDeviceCommand() : QString();
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
  text_->setText(describe(*status_));
  const QString toRun = command(*status_);
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
