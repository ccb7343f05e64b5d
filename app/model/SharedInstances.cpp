// The process-wide model objects, built from the real backends. Each is made
// on first use (on the main thread, with the QCoreApplication running) and
// kept until the process ends. The one shutdown step: when the event loop is
// told to quit, the heartbeat is marked stopped (a crash leaves it to age).
#include <QCoreApplication>

#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "platform/dispatch/QtMainQueue.h"

namespace tovrelle {

CameraManager& CameraManager::shared() {
  static CameraManager* const instance = [] {
    auto* made = new CameraManager(
        {dispatch::QtMainQueue::shared(), []() -> ImageManager& { return ImageManager::shared(); }});
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, made,
                     [made] { made->stopHeartbeat(); });
    return made;
  }();
  return *instance;
}

ImageManager& ImageManager::shared() {
  static ImageManager* const instance = new ImageManager(
      {dispatch::QtMainQueue::shared(), []() -> CameraManager& { return CameraManager::shared(); }});
  return *instance;
}

}  // namespace tovrelle
