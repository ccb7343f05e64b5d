#pragma once
// Why camera mode shows no picture, in the user's words: no camera connected,
// the chosen one unplugged, or what the camera service says of the camera it
// passes through (stopped sending pictures, cannot be opened). The camera
// list is the app's own; the service's word is read only in camera mode:
// once after each change of mode, choice or camera list (and once more a
// little later, as the service needs a second to call a camera stalled), and
// every kWatchInterval while a watch token lives (the open popover).
// Thread-bound (main thread); `changed` follows every change of problem().
#include <QObject>
#include <QString>
#include <memory>

#include "app/model/RefreshWhileWatched.h"
#include "platform/camera/CameraFeed.h"
#include "platform/dispatch/Dispatch.h"

namespace tovrelle {

class CameraDeviceManager;
class CameraManager;

class CameraFeedStatus : public QObject {
  Q_OBJECT

 public:
  enum class Problem {
    none,        // not in camera mode, or the picture arrives
    noCamera,    // no camera is connected at all
    chosenGone,  // the chosen camera is not connected
    stalled,     // the camera stopped sending pictures
    failed,      // the camera cannot be opened
    notFound,    // the service finds no camera to show
  };

  static constexpr dispatch::Duration kWatchInterval = std::chrono::seconds(2);
  // The second look after a change: past the service's one second to call a camera stalled.
  static constexpr dispatch::Duration kSettleDelay = std::chrono::milliseconds(1500);

  struct Dependencies {
    CameraManager* camera = nullptr;
    CameraDeviceManager* devices = nullptr;
    std::shared_ptr<camera::CameraFeed> feed;
    std::shared_ptr<dispatch::Queue> mainQueue;
  };

  explicit CameraFeedStatus(Dependencies dependencies, QObject* parent = nullptr);
  ~CameraFeedStatus() override;

  Problem problem() const;
  // One short sentence for the popover and the tool tip; empty for none.
  static QString text(Problem problem);
  QString text() const { return text(problem()); }

  // Asks the service now (in camera mode only; one look at a time).
  void refresh();
  // While a returned token lives, the service is asked every kWatchInterval.
  std::shared_ptr<void> watch();

 signals:
  void changed();

 private:
  void modelChanged();
  void apply(camera::FeedState state);
  void publishIfChanged();

  Dependencies dependencies_;
  camera::FeedState feedState_ = camera::FeedState::unknown;
  Problem published_ = Problem::none;
  bool looking_ = false;
  bool lookAgain_ = false;
  RefreshWhileWatched watching_{dependencies_.mainQueue, kWatchInterval, [this] { refresh(); }};
  std::shared_ptr<dispatch::Timer> settleTimer_;
};

}  // namespace tovrelle
