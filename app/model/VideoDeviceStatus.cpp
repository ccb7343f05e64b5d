#include "app/model/VideoDeviceStatus.h"

#include <QPointer>
#include <QRegularExpression>

#include "app/model/ApplicationEvents.h"
#include "platform/dispatch/QtMainQueue.h"
#include "platform/log/Log.h"

namespace tovrelle {

using videodevice::Device;
using videodevice::Report;
using videodevice::ServiceOutput;

namespace {

const Device* ourDevice(const Report& report) {
  for (const Device& device : report.devices)
    if (device.label == videodevice::kDeviceLabel) return &device;
  return nullptr;
}

// One word for the shell, quoted only when it needs it.
QString shellWord(const QString& word) {
  static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_.,=/+-]+$"));
  if (plain.match(word).hasMatch()) return word;
  QString quoted = word;
  quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
  return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

}  // namespace

VideoDeviceStatus::VideoDeviceStatus(Dependencies dependencies, QObject* parent)
    : QObject(parent), dependencies_(std::move(dependencies)) {}

VideoDeviceStatus::State VideoDeviceStatus::classify(const Report& report) {
  // The service's own word is live; the kernel's view explains the rest.
  switch (report.output) {
    case ServiceOutput::disabled: return State::disabled;
    case ServiceOutput::refused: return State::refused;
    case ServiceOutput::busy: return State::busy;
    case ServiceOutput::failed: return State::failed;
    case ServiceOutput::ready: return State::ready;
    case ServiceOutput::reading: return State::reading;
    case ServiceOutput::noDevice:
    case ServiceOutput::unknown: break;
  }
  if (const Device* ours = ourDevice(report)) {
    if (!ours->loopback) return State::refused;
    if (report.serviceRunning && report.output == ServiceOutput::unknown) return State::serviceTooOld;
    // No service, or one that has not noticed the device yet (it does within seconds).
    return State::waitingForService;
  }
  if (report.moduleLoaded) return State::othersOnly;
  return report.moduleInstalled ? State::notLoaded : State::moduleMissing;
}

const char* VideoDeviceStatus::name(State state) {
  switch (state) {
    case State::unknown: return "unknown";
    case State::moduleMissing: return "module-missing";
    case State::notLoaded: return "not-loaded";
    case State::loading: return "loading";
    case State::othersOnly: return "others-only";
    case State::refused: return "refused";
    case State::waitingForService: return "waiting-for-service";
    case State::serviceTooOld: return "service-too-old";
    case State::disabled: return "disabled";
    case State::busy: return "busy";
    case State::failed: return "failed";
    case State::ready: return "ready";
    case State::reading: return "reading";
  }
  return "unknown";
}

QString VideoDeviceStatus::device() const {
  if (!report_.outputDevice.empty()) return QString::fromStdString(report_.outputDevice);
  if (const Device* ours = ourDevice(report_)) return QString::fromStdString(ours->node);
  return {};
}

QStringList VideoDeviceStatus::otherLabels() const {
  QStringList labels;
  for (const Device& device : report_.devices)
    if (device.loopback && device.label != videodevice::kDeviceLabel)
      labels << QString::fromStdString(device.label.empty() ? device.node : device.label);
  return labels;
}

QString VideoDeviceStatus::addDeviceCommand() const {
  if (report_.canAddDevices) return QStringLiteral("sudo v4l2loopback-ctl add -n Tovrelle -x 1");
  // Without the control device only a reload adds one: keep the others'
  // devices and labels, and add Tovrelle's first.
  QStringList labels{QString::fromLatin1(videodevice::kDeviceLabel)};
  for (QString label : otherLabels()) labels << label.replace(QLatin1Char(','), QLatin1Char(' '));
  QStringList exclusive;
  for (qsizetype i = 0; i < labels.size(); ++i) exclusive << QStringLiteral("1");
  return QStringLiteral("sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback devices=%1 exclusive_caps=%2 %3")
      .arg(labels.size())
      .arg(exclusive.join(QLatin1Char(',')), shellWord(QStringLiteral("card_label=") + labels.join(QLatin1Char(','))));
}

void VideoDeviceStatus::refresh(std::function<void()> done) {
  if (!dependencies_.devices) {
    if (done) done();
    return;
  }
  QPointer<VideoDeviceStatus> self(this);
  dependencies_.devices->look([self, done](Report report) {
    if (self) self->apply(report);
    if (done) done();
  });
}

void VideoDeviceStatus::apply(const Report& report) {
  const State before = state();
  if (looked_ && report == report_) return;
  report_ = report;
  looked_ = true;
  if (state() != before) {
    loadFailure_.clear();
    log::processLog("VideoDeviceStatus: %s%s%s", name(state()), device().isEmpty() ? "" : " at ", qPrintable(device()));
  }
  emit changed();
}

void VideoDeviceStatus::loadModule() {
  if (loading_ || !dependencies_.devices) return;
  loading_ = true;
  loadFailure_.clear();
  emit changed();
  QPointer<VideoDeviceStatus> self(this);
  dependencies_.devices->loadModule([self](videodevice::LoadResult result) {
    if (!self) return;
    self->loading_ = false;
    // A dismissed prompt is the user's answer, not a fault to report.
    if (result.outcome == videodevice::LoadOutcome::failed) self->loadFailure_ = QString::fromStdString(result.message);
    emit self->changed();
    if (result.outcome == videodevice::LoadOutcome::loaded) self->refresh();
  });
}

std::shared_ptr<void> VideoDeviceStatus::watch() { return watching_.watch(); }

}  // namespace tovrelle
