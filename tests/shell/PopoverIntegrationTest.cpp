// The popover on a real desktop: Xvfb, a private PipeWire with WirePlumber and
// a test camera (tovrelle-testcam, 1280x720 at 30 fps). The user opens the
// popover, picks the test camera from the camera menu with the pointer and
// sees its colour bars in the preview area's pixels on screen; picks a
// library image and sees it letterboxed; closes the popover and the camera
// is let go.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <chrono>

#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraManager.h"
#include "app/model/CameraPermission.h"
#include "app/model/ImageManager.h"
#include "app/model/PreviewRenderer.h"
#include "app/model/Settings.h"
#include "app/shell/PopoverWindow.h"
#include "app/shell/Strings.h"
#include "app/shell/TrayPanel.h"
#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "platform/dispatch/QtMainQueue.h"
#include "shared/DataFolder.h"
#include "tests/fakes/FakeCameraService.h"
#include "tests/shell/EventLoopWait.h"
#include "tests/support/Services.h"
#include "tools/testcam/TestPattern.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace tp = tovrelle::testpattern;

namespace {

test::PrivateSession* desktop = nullptr;

using tovrelle::test::waitUntil;

// What the X server shows of `widget` now.
QImage onScreen(QWidget* widget) {
  const QPoint at = widget->mapToGlobal(QPoint(0, 0));
  return widget->screen()->grabWindow(0, at.x(), at.y(), widget->width(), widget->height()).toImage();
}

// Whether the 3x3 pixels around `at` average to within `tolerance` of `want` in each channel.
bool near(const QImage& image, QPointF at, QColor want, int tolerance) {
  int sum[3] = {};
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const QColor c = image.pixelColor(int(at.x()) + dx, int(at.y()) + dy);
      sum[0] += c.red() - want.red();
      sum[1] += c.green() - want.green();
      sum[2] += c.blue() - want.blue();
    }
  return std::abs(sum[0]) <= 9 * tolerance && std::abs(sum[1]) <= 9 * tolerance && std::abs(sum[2]) <= 9 * tolerance;
}

// Where a point of the 320x180 preview canvas is drawn in the 236x135 preview area.
QPointF inPreviewArea(QPointF canvasPoint) {
  const double s = std::min(236.0 / 320.0, 135.0 / 180.0);
  return QPointF((236.0 - 320.0 * s) / 2 + canvasPoint.x() * s, (135.0 - 180.0 * s) / 2 + canvasPoint.y() * s);
}

struct Models {
  QTemporaryDir tmp;
  std::shared_ptr<dispatch::QtMainQueue> main = std::make_shared<dispatch::QtMainQueue>();
  std::shared_ptr<capture::CaptureDevices> capture = capture::makePipeWireCaptureDevices();
  std::unique_ptr<Settings> settings;
  std::unique_ptr<CameraManager> camera;
  std::unique_ptr<ImageManager> images;
  std::unique_ptr<CameraDeviceManager> devices;
  std::unique_ptr<CameraPermission> permission;
  std::shared_ptr<CameraServiceInstaller> installer;
  std::unique_ptr<PreviewRenderer> preview;

  Models() {
    ::setenv(kDataDirEnv, tmp.filePath("data").toLocal8Bit().constData(), 1);
    settings = std::make_unique<Settings>(tmp.filePath("settings.ini"));
    camera = std::make_unique<CameraManager>(
        CameraManager::Dependencies{main, [this]() -> ImageManager& { return *images; }, settings.get()});
    images = std::make_unique<ImageManager>(
        ImageManager::Dependencies{main, [this]() -> CameraManager& { return *camera; }});
    devices = std::make_unique<CameraDeviceManager>(CameraDeviceManager::Dependencies{capture, main, nullptr});
    permission = std::make_unique<CameraPermission>(CameraPermission::Dependencies{capture, nullptr});
    installer = CameraServiceInstaller::create(
        {std::make_shared<test::FakeCameraService>(main), main, tmp.filePath("bundle").toStdString(), nullptr});
    preview = std::make_unique<PreviewRenderer>(
        PreviewRenderer::Dependencies{[this]() -> CameraManager& { return *camera; },
                                      [this]() -> ImageManager& { return *images; }, capture, main, nullptr});
  }
  ~Models() {
    preview.reset();
    installer.reset();
    permission.reset();
    devices.reset();
    images.reset();
    camera.reset();
    ::unsetenv(kDataDirEnv);
    settings.reset();
  }

  TrayPanel::Models forView() {
    return {camera.get(), images.get(), devices.get(), installer.get(), preview.get(), permission.get(), [] {}};
  }
};

// Four quadrants: red, green / blue, yellow.
QImage quadrants(int width, int height) {
  QImage picture(width, height, QImage::Format_RGB32);
  QPainter p(&picture);
  const int w = width / 2, h = height / 2;
  p.fillRect(0, 0, w, h, Qt::red);
  p.fillRect(w, 0, width - w, h, Qt::green);
  p.fillRect(0, h, w, height - h, Qt::blue);
  p.fillRect(w, h, width - w, height - h, Qt::yellow);
  return picture;
}

}  // namespace

TEST(PopoverOnADesktop, TheChosenTestCameraAppearsInThePreviewAndClosingLetsItGo) {
  auto testcam = desktop->spawn({(test::binaryDir() / "tovrelle-testcam").string(), "--name", "Test Cam", "--node-name",
                                 "popover-test-cam", "--size", "1280x720", "--fps", "30"},
                                {}, "popover-testcam");
  Models models;
  const QString picked = models.tmp.filePath("Quadrants.png");
  ASSERT_TRUE(quadrants(800, 600).save(picked));
  models.images->addImage(picked.toStdString());

  bool closed = false;
  auto* view = new TrayPanel(
      models.forView(), [] {}, [] {}, [] {}, true);
  PopoverWindow window(view);
  QObject::connect(&window, &PopoverWindow::didClose, [&] {
    closed = true;
    models.preview->stopPreview();
  });
  models.preview->startPreview();
  window.showRelativeTo(QRect(1100, 0, 24, 24));
  ASSERT_TRUE(waitUntil([&] { return window.isVisible() && window.isActiveWindow(); }, 5s));
  // Below the item, the popover's width.
  EXPECT_EQ(window.width(), 260);
  EXPECT_GE(window.y(), 24);

  ASSERT_TRUE(waitUntil([&] {
    const auto& cams = models.devices->cameras();
    return std::any_of(cams.begin(), cams.end(), [](const CameraInfo& c) { return c.name == "Test Cam"; });
  })) << testcam->log();
  waitUntil([] { return false; }, 300ms);
  // Off: a black preview.
  EXPECT_TRUE(near(onScreen(view->previewArea()), QPointF(118, 67), Qt::black, 8));

  // Pick the camera the way a user does: open the menu, click the item.
  bool clickedItem = false;
  QTimer::singleShot(400, [&] {
    QMenu* menu = view->cameraMenu();
    if (!menu->isVisible()) return;
    for (QAction* action : menu->actions()) {
      if (action->text() != "Test Cam") continue;
      QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
      clickedItem = true;
    }
    if (!clickedItem) menu->close();
  });
  QTest::mouseClick(view->cameraMenuButton(), Qt::LeftButton);
  ASSERT_TRUE(clickedItem);
  EXPECT_EQ(models.camera->currentMode(), CameraMode::camera);
  ASSERT_TRUE(models.camera->selectedCameraId());
  // A choice closes the popover, as a menu closes on a choice; opened again, it shows the camera.
  EXPECT_TRUE(waitUntil([&] { return closed && !window.isVisible(); }));
  auto reopen = [&] {
    closed = false;
    models.preview->startPreview();
    window.showRelativeTo(QRect(1100, 0, 24, 24));
    return waitUntil([&] { return window.isVisible() && window.isActiveWindow(); }, 5s);
  };
  ASSERT_TRUE(reopen());

  // The bars of the test pattern, where the letterboxing puts them.
  auto showsBars = [&] {
    const QImage pixels = onScreen(view->previewArea());
    for (int i = 0; i < tp::kBarCount; ++i) {
      const tp::Point bar = tp::barCentre(i, 1280, 720);
      const QColor want(tp::kBars[i].r, tp::kBars[i].g, tp::kBars[i].b);
      if (!near(pixels, inPreviewArea(QPointF(bar.x / 4.0, bar.y / 4.0)), want, 48)) return false;
    }
    return true;
  };
  EXPECT_TRUE(waitUntil(showsBars)) << testcam->log();
  EXPECT_TRUE(models.preview->hasCaptureSession());

  // The library image, by its row.
  auto* row = view->findChild<PopoverRow*>("imageRow");
  ASSERT_TRUE(row);
  QTest::mouseClick(row, Qt::LeftButton);
  EXPECT_EQ(models.camera->currentMode(), CameraMode::image);
  EXPECT_TRUE(waitUntil([&] { return closed && !window.isVisible(); }));
  ASSERT_TRUE(reopen());
  // 800x600 on the 320x180 canvas: 240x180 from x = 40.
  auto showsQuadrants = [&] {
    const QImage pixels = onScreen(view->previewArea());
    return near(pixels, inPreviewArea({100, 45}), Qt::red, 30) &&
           near(pixels, inPreviewArea({220, 45}), Qt::green, 30) &&
           near(pixels, inPreviewArea({100, 135}), Qt::blue, 30) &&
           near(pixels, inPreviewArea({220, 135}), Qt::yellow, 30) &&
           near(pixels, inPreviewArea({20, 90}), Qt::black, 10) &&
           near(pixels, inPreviewArea({300, 90}), Qt::black, 10);
  };
  EXPECT_TRUE(waitUntil(showsQuadrants));
  EXPECT_FALSE(models.preview->hasCaptureSession());
  // The row clicked was redrawn with the change; the new one carries the mark.
  EXPECT_TRUE(waitUntil([&] {
    auto* r = view->findChild<PopoverRow*>("imageRow");
    return r && r->isChecked();
  }));

  // Back to the camera, then closed: the preview lets the camera go.
  models.camera->turnOn();
  EXPECT_TRUE(waitUntil(showsBars));
  ASSERT_TRUE(models.preview->hasCaptureSession());
  window.performClose();
  EXPECT_TRUE(closed);
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(models.preview->isActive());
  EXPECT_FALSE(models.preview->hasCaptureSession());
  EXPECT_TRUE(models.preview->currentFrame().isNull());
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  test::PrivateSession session(test::SessionOptions{true, true, true});
  desktop = &session;
  qputenv("QT_QPA_PLATFORM", "xcb");
  int qtArgc = 1;
  char name[] = "shell_popover_desktop_tests";
  char* qtArgv[] = {name, nullptr};
  QApplication app(qtArgc, qtArgv);
  app.setQuitOnLastWindowClosed(false);
  strings::install(app);
  const int result = RUN_ALL_TESTS();
  desktop = nullptr;
  return result;
}
