// A real drag on an X server: the pointer presses on the third row, moves to
// the top of the list and releases; the library file follows.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QWindow>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/model/UserDefaults.h"
#include "app/settings/ImageRow.h"
#include "app/settings/ImagesSettingsView.h"
#include "shared/DataFolder.h"
#include "tests/fakes/ManualDispatch.h"
#include "tests/support/Services.h"

namespace tovrelle::test {
namespace {

namespace fs = std::filesystem;

bool runUntil(const std::function<bool()>& done, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

TEST(RealDrag, ThirdRowDraggedToTheTopRewritesTheLibrary) {
  PrivateSession session({.pipewire = false, .wireplumber = false, .xvfb = true});
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  const fs::path root = session.makeFolder("drag");
  ::setenv(kDataDirEnv, (root / "data").c_str(), 1);
  UserDefaults::setStorePath(QString::fromStdString((root / "settings.ini").string()));

  static int argc = 1;
  static char name[] = "settings-drag-test";
  static char* argv[] = {name, nullptr};
  auto app = std::make_unique<QApplication>(argc, argv);
  {
    ManualScheduler scheduler;
    auto mainQueue = scheduler.makeQueue("main");
    std::unique_ptr<ImageManager> images;
    std::unique_ptr<CameraManager> camera;
    camera = std::make_unique<CameraManager>(
        CameraManager::Dependencies{mainQueue, [&]() -> ImageManager& { return *images; }});
    images = std::make_unique<ImageManager>(
        ImageManager::Dependencies{mainQueue, [&]() -> CameraManager& { return *camera; }});
    for (auto [entry, colour] :
         std::vector<std::pair<std::string, QColor>>{{"a", Qt::red}, {"b", Qt::green}, {"c", Qt::blue}}) {
      QImage picture(32, 32, QImage::Format_RGB32);
      picture.fill(colour);
      const fs::path path = root / (entry + ".png");
      ASSERT_TRUE(picture.save(QString::fromStdString(path.string())));
      images->addImage(path);
    }

    {
      settings::ImagesSettingsView view(*images);
      view.resize(600, 400);
      view.move(100, 100);
      view.show();
      ASSERT_TRUE(runUntil([&] { return view.isVisible() && view.windowHandle() && view.windowHandle()->isExposed(); },
                           5000));
      runUntil([] { return false; }, 300);

      auto* list = view.listView();
      // Press on the row's name (a label, not a button), then move up in steps
      // past the drag distance and release over the top half of the first row.
      const QPoint from =
          list->viewport()->mapToGlobal(list->visualRect(view.model()->index(2)).center() + QPoint(40, 0));
      const QPoint to = list->viewport()->mapToGlobal(list->visualRect(view.model()->index(0)).topLeft() + QPoint(120, 5));
      const QString script = QStringLiteral(
                                 "xdotool mousemove %1 %2 sleep 0.3 mousedown 1 sleep 0.2 mousemove %1 %3 sleep 0.2 "
                                 "mousemove %1 %4 sleep 0.2 mousemove %5 %6 sleep 0.4 mouseup 1")
                                 .arg(from.x())
                                 .arg(from.y())
                                 .arg(from.y() - 10)
                                 .arg(from.y() - 40)
                                 .arg(to.x())
                                 .arg(to.y());
      QProcess pointer;
      pointer.start(QStringLiteral("sh"), {QStringLiteral("-c"), script});
      ASSERT_TRUE(pointer.waitForStarted(5000));
      ASSERT_TRUE(runUntil([&] { return pointer.state() == QProcess::NotRunning; }, 20000));
      ASSERT_EQ(pointer.exitCode(), 0) << pointer.readAllStandardError().toStdString();
      ASSERT_TRUE(runUntil([&] { return images->savedImages().front().name == "c"; }, 5000));

      const auto stored = decodeSavedImages(readFileBounded(imagesFileURL(), kMaxImagesFileBytes).bytes.value_or(""));
      ASSERT_TRUE(stored);
      ASSERT_EQ(stored->size(), 3u);
      EXPECT_EQ((*stored)[0].name, "c");
      EXPECT_EQ((*stored)[1].name, "a");
      EXPECT_EQ((*stored)[2].name, "b");
      ASSERT_NE(view.rowAt(0), nullptr);
      EXPECT_EQ(view.rowAt(0)->nameLabel()->text(), "c");
    }
    images.reset();
    camera.reset();
  }
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  app.reset();
  ::unsetenv(kDataDirEnv);
}

}  // namespace
}  // namespace tovrelle::test
