// One library change made by the app's own image library on
// $TOVRELLE_DATA_DIR, so a test can cut it short at a chosen system call:
//   library_change add PICTURE
//   library_change delete NAME
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/model/Settings.h"
#include "platform/dispatch/QtMainQueue.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: library_change add PICTURE | delete NAME\n");
    return 2;
  }
  // Built as the app builds them; the camera manager only when a change needs it.
  const auto settingsFile = tovrelle::Settings::defaultFilePath();
  if (!settingsFile) return 2;
  tovrelle::Settings settings(QString::fromStdString(settingsFile->string()));
  auto mainQueue = std::make_shared<tovrelle::dispatch::QtMainQueue>();
  std::unique_ptr<tovrelle::CameraManager> camera;
  tovrelle::ImageManager images(
      {mainQueue, [&]() -> tovrelle::CameraManager& {
         if (!camera)
           camera = std::make_unique<tovrelle::CameraManager>(tovrelle::CameraManager::Dependencies{
               mainQueue, [&]() -> tovrelle::ImageManager& { return images; }, &settings});
         return *camera;
       }});
  if (std::strcmp(argv[1], "add") == 0) {
    images.addImage(argv[2]);
    return images.lastFailure() ? 1 : 0;
  }
  const auto& saved = images.savedImages();
  for (size_t i = 0; i < saved.size(); ++i) {
    if (saved[i].name != argv[2]) continue;
    images.deleteImages({i});
    return 0;
  }
  return 1;
}
