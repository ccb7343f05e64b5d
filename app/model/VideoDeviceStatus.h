#pragma once
// The state of the camera's /dev/video output as a user would name it:
// module missing or not loaded, a device of Tovrelle's ready or read, held by
// another program, or only other programs' loopback devices. It combines
// what the kernel shows with what the camera service reports, looks again
// every few seconds while a window shows it, and loads the module on request.
// Thread-bound (main thread); `changed` follows every look and load; the
// module load answers on the main queue.
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "app/model/RefreshWhileWatched.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/videodevice/VideoDevices.h"

namespace tovrelle {

class VideoDeviceStatus : public QObject {
  Q_OBJECT

 public:
  enum class State {
    unknown,            // not looked at yet
    moduleMissing,      // v4l2loopback is not installed for the running kernel
    notLoaded,          // installed, not loaded
    loading,            // the administrator prompt or modprobe runs
    othersOnly,         // loaded by another program, no device labelled Tovrelle
    refused,            // a device labelled Tovrelle that is no loopback device
    waitingForService,  // Tovrelle's device exists; no camera service writes to it yet
    serviceTooOld,      // the running camera service has no /dev/video output
    disabled,           // the camera service's output is turned off
    busy,               // another program writes to Tovrelle's device
    failed,             // the device refused the camera's format or buffers
    ready,              // streamed to, no app reads it
    reading,            // at least one app reads it
  };

  static constexpr dispatch::Duration kWatchInterval = std::chrono::seconds(3);

  struct Dependencies {
    std::shared_ptr<videodevice::VideoDevices> devices;
    std::shared_ptr<dispatch::Queue> mainQueue;
  };

  explicit VideoDeviceStatus(Dependencies dependencies, QObject* parent = nullptr);

  // What a report means for the user; pure.
  static State classify(const videodevice::Report& report);
  // The state's name for log lines ("not-loaded").
  static const char* name(State state);

  State state() const {
    if (loading_) return State::loading;
    return looked_ ? classify(report_) : State::unknown;
  }
  const videodevice::Report& report() const { return report_; }
  // Tovrelle's device ("/dev/video4"), or empty.
  QString device() const;
  // The labels of loopback devices that are not Tovrelle's.
  QStringList otherLabels() const;
  // The terminal command that gives Tovrelle a device next to the others'.
  QString addDeviceCommand() const;
  // Why the last load failed; cleared by the next load or a change of state.
  QString loadFailure() const { return loadFailure_; }

  // Looks now; `done` runs once this look's result is in.
  void refresh(std::function<void()> done = {});
  // Loads the module (a prompt for the administrator password); a dismissed
  // prompt changes nothing.
  void loadModule();
  // While a returned token lives, the state is looked at every kWatchInterval.
  std::shared_ptr<void> watch();

 signals:
  void changed();

 private:
  void apply(const videodevice::Report& report);

  Dependencies dependencies_;
  videodevice::Report report_;
  bool looked_ = false;
  bool loading_ = false;
  QString loadFailure_;
  RefreshWhileWatched watching_{dependencies_.mainQueue, kWatchInterval, [this] { refresh(); }};
};

}  // namespace tovrelle
