// The process-wide model objects, built from the real backends. Each is made
// on first use (on the main thread, with the QCoreApplication running) and
// kept until the process ends: there is no shutdown step, and the heartbeat
// simply stops when the process does.
#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "platform/dispatch/QtMainQueue.h"

namespace tovrelle {

CameraManager& CameraManager::shared() {
  static CameraManager* const instance = new CameraManager(
      {dispatch::QtMainQueue::shared(), []() -> ImageManager& { return ImageManager::shared(); }});
  return *instance;
}

ImageManager& ImageManager::shared() {
  static ImageManager* const instance = new ImageManager(
      {dispatch::QtMainQueue::shared(), []() -> CameraManager& { return CameraManager::shared(); }});
  return *instance;
}

}  // namespace tovrelle
