// One library change made by the app's own image library on
// $TOVRELLE_DATA_DIR, so a test can cut it short at a chosen system call:
//   library_change add PICTURE
//   library_change delete NAME
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include "app/model/ImageManager.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: library_change add PICTURE | delete NAME\n");
    return 2;
  }
  tovrelle::ImageManager& images = tovrelle::ImageManager::shared();
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
