// The popover's preview on the fake capture service, with the main queue, the
// capture queue and the discovery queue driven by hand: what each mode shows,
// when a camera session is opened, kept, replaced or dropped, which frames
// reach the picture, and what is logged when something cannot be used.
#include "tests/shell/PopoverFixture.h"
#include "tests/shell/QtTestApp.h"

#include "platform/imaging/Decoder.h"
#include "platform/imaging/Fit.h"

using namespace tovrelle;
using tovrelle::test::FakeCaptureDevices;

namespace {

constexpr int W = PreviewCanvas::kWidth;
constexpr int H = PreviewCanvas::kHeight;

// Whether the picture's centre is `colour`, give or take `tolerance` per channel.
bool centreIs(const QImage& image, QColor colour, int tolerance = 12) {
  const QColor c(image.pixel(W / 2, H / 2));
  return std::abs(c.red() - colour.red()) <= tolerance && std::abs(c.green() - colour.green()) <= tolerance &&
         std::abs(c.blue() - colour.blue()) <= tolerance;
}

bool allBlack(const QImage& image) {
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if ((image.pixel(x, y) & 0xffffff) != 0) return false;
  return true;
}

class PreviewRendererTest : public test::PopoverFixture {
 protected:
  void settle() { scheduler_.drainAll(); }

  // Counts the published pictures whose centre is red.
  void watchForRed() {
    QObject::connect(&preview(), &PreviewRenderer::currentFrameChanged, [this] {
      const QImage f = preview().currentFrame();
      redFrames_ += !f.isNull() && centreIs(f, Qt::red, 40);
    });
  }

  // Camera `id` chosen and the virtual camera on, the preview running on it.
  void runCamera(const std::string& id, const std::string& name = "Desk Cam") {
    if (!capture_->deviceWithUniqueId(id)) capture_->addDevice(id, name);
    select(id);
    camera().turnOn();
    preview().startPreview();
    settle();
  }

  std::shared_ptr<test::FakeSessionRecord> sessionFor(const std::string& id) {
    std::shared_ptr<test::FakeSessionRecord> found;
    for (auto& s : capture_->sessions())
      if (s->deviceId() == id) found = s;
    return found;
  }

  int redFrames_ = 0;
};

}  // namespace

TEST_F(PreviewRendererTest, NothingRunsUntilStartedAndOffModeShowsBlackWithoutACamera) {
  capture_->addDevice("cam-a", "Desk Cam");
  preview();
  settle();
  EXPECT_FALSE(preview().isActive());
  EXPECT_TRUE(preview().currentFrame().isNull());

  // Changes while the popover is closed open nothing.
  select("cam-a");
  camera().turnOn();
  settle();
  EXPECT_TRUE(capture_->sessions().empty());
  EXPECT_TRUE(preview().currentFrame().isNull());

  camera().turnOff();
  settle();
  preview().startPreview();
  EXPECT_TRUE(preview().isActive());
  const QImage frame = preview().currentFrame();
  ASSERT_EQ(frame.size(), QSize(W, H));
  EXPECT_TRUE(allBlack(frame));
  settle();
  EXPECT_TRUE(capture_->sessions().empty());
  EXPECT_EQ(capture_->makeInputCount(), 0);
}

TEST_F(PreviewRendererTest, ASetUpThatFinishesAfterTheUserMovedOnIsStoppedAndDropped) {
  capture_->addDevice("cam-b", "Document Cam");
  runCamera("cam-a");
  ASSERT_TRUE(sessionFor("cam-a")->isRunning());

  // A is running; the user picks B, and picks C before B's set-up has run.
  capture_->addDevice("cam-c", "Wide Cam");
  select("cam-b");
  main_->drain();  // B's set-up is queued
  select("cam-c");
  main_->drain();  // C's set-up is queued behind it
  EXPECT_EQ(captureQueue_->pendingCount(), 2u);
  captureQueue_->drain();  // both sessions start
  ASSERT_TRUE(sessionFor("cam-b") && sessionFor("cam-c"));
  EXPECT_TRUE(sessionFor("cam-b")->isRunning());
  main_->drain();  // adoption: B no longer wanted, C is
  EXPECT_FALSE(sessionFor("cam-a")->isRunning());
  EXPECT_FALSE(sessionFor("cam-b")->isRunning());
  EXPECT_TRUE(sessionFor("cam-c")->isRunning());
  EXPECT_TRUE(preview().hasCaptureSession());

  // A set-up that finishes after the popover closed.
  preview().stopPreview();
  select("cam-a");
  preview().startPreview();  // queues A's set-up
  preview().stopPreview();
  settle();
  EXPECT_FALSE(sessionFor("cam-a")->isRunning());
  EXPECT_FALSE(preview().hasCaptureSession());
  EXPECT_TRUE(preview().currentFrame().isNull());

  // ... and one that finishes after the camera was turned off.
  preview().startPreview();
  camera().turnOff();
  settle();
  EXPECT_TRUE(capture_->runningSessions().empty());
  EXPECT_FALSE(preview().hasCaptureSession());
  EXPECT_TRUE(allBlack(preview().currentFrame()));

  // ... and one that finishes after the renderer went away.
  preview().stopPreview();
  camera().turnOn();
  settle();
  preview().startPreview();
  ASSERT_EQ(captureQueue_->pendingCount(), 1u);
  preview_.reset();
  settle();
  // Either never built, or built and stopped: nothing keeps running.
  EXPECT_TRUE(capture_->runningSessions().empty());

  // A renderer destroyed while its session runs stops it too.
  preview().startPreview();
  settle();
  ASSERT_EQ(capture_->runningSessions().size(), 1u);
  auto running = capture_->runningSessions()[0];
  preview_.reset();
  EXPECT_FALSE(running->isRunning());
  capture_->pushFrame("cam-a", FakeCaptureDevices::makeFrame(9));
  settle();  // a frame after that reaches nothing
}

TEST_F(PreviewRendererTest, FramesAreIgnoredWhenInactiveOrNotInCameraMode) {
  watchForRed();
  runCamera("cam-a");
  capture_->pushFrame("cam-a", FakeCaptureDevices::makeFrame(1, 255, 0, 0));
  settle();
  ASSERT_TRUE(centreIs(preview().currentFrame(), Qt::blue, 40));

  // Turned off: the handler stops converting at once, before the main thread has reconfigured.
  camera().turnOff();
  const size_t mainTasks = main_->pendingCount();
  ASSERT_EQ(capture_->pushFrame("cam-a", FakeCaptureDevices::makeFrame(2, 0, 0, 255)), 1);
  captureQueue_->drain();
  EXPECT_EQ(main_->pendingCount(), mainTasks);  // nothing converted, nothing handed over
  settle();
  EXPECT_EQ(redFrames_, 0);
  EXPECT_TRUE(allBlack(preview().currentFrame()));

  // A frame converted while in camera mode but published after the mode changed is dropped.
  camera().turnOn();
  settle();
  capture_->pushFrame("cam-a", FakeCaptureDevices::makeFrame(3, 0, 0, 255));
  captureQueue_->drain();
  camera().turnOff();
  settle();
  EXPECT_EQ(redFrames_, 0);

  // Inactive: a session that started but was never adopted converts nothing.
  camera().turnOn();
  settle();
  preview().stopPreview();
  preview().startPreview();  // A's set-up queued
  captureQueue_->drain();    // running, not yet adopted
  preview().stopPreview();
  const size_t before = main_->pendingCount();
  ASSERT_EQ(capture_->pushFrame("cam-a", FakeCaptureDevices::makeFrame(4, 0, 0, 255)), 1);
  captureQueue_->drain();
  EXPECT_EQ(main_->pendingCount(), before);
  settle();
  EXPECT_EQ(redFrames_, 0);
  EXPECT_TRUE(preview().currentFrame().isNull());
  EXPECT_TRUE(capture_->runningSessions().empty());
}

TEST_F(PreviewRendererTest, AnUnreadableOrMissingImageShowsBlackWithoutALogLine) {
  const Uuid green = addLibraryPicture("Green", solid(64, 36, Qt::green));
  const Uuid broken = addLibraryFile("Broken", "\x89PNG\r\n\x1a\nnot really a picture");
  const Uuid gone = addLibraryPicture("Gone", solid(64, 36, Qt::blue));
  std::filesystem::remove(imagesDir() / images().savedImages().back().fileName);
  preview().startPreview();
  settle();
  takeLines();

  for (const Uuid& id : {broken, gone, Uuid::random()}) {
    camera().selectImage(green);
    settle();
    ASSERT_TRUE(centreIs(preview().currentFrame(), Qt::green));
    camera().selectImage(id);
    settle();
    EXPECT_EQ(preview().currentFrame().size(), QSize(W, H));
    EXPECT_TRUE(allBlack(preview().currentFrame()));
  }
  const auto lines = takeLines();
  EXPECT_EQ(countStartingWith(lines, "PreviewRenderer"), 0);
  // Only the state writes of the six selections were logged.
  EXPECT_EQ(int(lines.size()), countStartingWith(lines, "CameraManager: wrote state"));
}

TEST_F(PreviewRendererTest, CamerasThatCannotBeUsedLeaveTheRightPicture) {
  const Uuid green = addLibraryPicture("Green", solid(64, 36, Qt::green));
  capture_->addDevice("cam-a", "Desk Cam");
  capture_->addDevice("own", "Tovrelle");
  preview().startPreview();
  camera().selectImage(green);
  settle();
  takeLines();

  // The camera cannot be opened: one log line, no session, the picture stays.
  capture_->failInput("cam-a", "device busy");
  select("cam-a");
  camera().turnOn();
  settle();
  const auto lines = takeLines();
  EXPECT_EQ(countStartingWith(lines, "PreviewRenderer"), 1);
  EXPECT_EQ(countStartingWith(lines, "PreviewRenderer: failed to setup camera: device busy"), 1);
  EXPECT_TRUE(capture_->runningSessions().empty());
  EXPECT_FALSE(preview().hasCaptureSession());
  EXPECT_TRUE(centreIs(preview().currentFrame(), Qt::green));

  // Choosing the same camera again tries again, and now it opens.
  capture_->failInput("cam-a", "");
  select("cam-a");
  settle();
  ASSERT_EQ(capture_->runningSessions().size(), 1u);
  EXPECT_TRUE(preview().hasCaptureSession());
  camera().turnOff();
  settle();
  ASSERT_TRUE(capture_->runningSessions().empty());
  takeLines();

  // Input or output refused: silent, no session.
  capture_->setCanAddInput(false);
  camera().turnOff();
  camera().turnOn();
  settle();
  capture_->setCanAddInput(true);
  capture_->setCanAddOutput(false);
  camera().turnOff();
  camera().turnOn();
  settle();
  EXPECT_TRUE(capture_->runningSessions().empty());
  EXPECT_FALSE(preview().hasCaptureSession());
  EXPECT_EQ(countStartingWith(takeLines(), "PreviewRenderer"), 0);
  capture_->setCanAddOutput(true);

  // Our own virtual camera, the default entry and a camera that is not attached show black without opening anything.
  const int inputs = capture_->makeInputCount();
  for (std::optional<std::string> id :
       {std::optional<std::string>("own"), std::optional<std::string>(), std::optional<std::string>("unplugged")}) {
    camera().selectImage(green);
    settle();
    select(id);
    camera().turnOn();
    settle();
    EXPECT_TRUE(allBlack(preview().currentFrame()));
    EXPECT_FALSE(preview().hasCaptureSession());
  }
  EXPECT_EQ(capture_->makeInputCount(), inputs);
  EXPECT_EQ(countStartingWith(takeLines(), "PreviewRenderer"), 0);
}

TEST_F(PreviewRendererTest, ClosingStopsTheCameraAndACameraThatGoesAwayShowsBlack) {
  runCamera("cam-a");
  auto a = sessionFor("cam-a");
  preview().stopPreview();
  EXPECT_FALSE(a->isRunning());
  EXPECT_TRUE(preview().currentFrame().isNull());

  // Opening again opens the camera again.
  preview().startPreview();
  settle();
  ASSERT_EQ(capture_->runningSessions().size(), 1u);
  capture_->pushFrame("cam-a", FakeCaptureDevices::makeFrame(2, 0, 0, 255));
  settle();
  takeLines();

  capture_->removeDevice("cam-a");
  settle();
  EXPECT_EQ(takeLines(), (std::vector<std::string>{"PreviewRenderer: camera cam-a stopped: the camera went away"}));
  EXPECT_FALSE(preview().hasCaptureSession());
  EXPECT_TRUE(allBlack(preview().currentFrame()));

  // Plugged in again and chosen again: a new session.
  capture_->addDevice("cam-a", "Desk Cam");
  select("cam-a");
  settle();
  EXPECT_EQ(capture_->runningSessions().size(), 1u);
}

TEST_F(PreviewRendererTest, ALibraryImageShowsAsTheCameraSendsIt) {
  // Four colour blocks, 2:1, so the frame has bars above and below.
  QImage picture(200, 100, QImage::Format_RGB32);
  const QColor blocks[] = {QColor(200, 30, 40), QColor(20, 180, 60), QColor(30, 60, 210), QColor(240, 220, 90)};
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 200; ++x) picture.setPixel(x, y, blocks[(y / 50) * 2 + x / 100].rgb());
  const Uuid id = addLibraryPicture("Blocks", picture);
  camera().selectImage(id);
  preview().startPreview();
  settle();
  const QImage shown = preview().currentFrame();
  ASSERT_EQ(shown.size(), QSize(W, H));

  // The frame the service sends for this image.
  const auto file = imagesDir() / images().savedImages().back().fileName;
  const auto decoded = imaging::decodeFirstPicture(file);
  ASSERT_TRUE(decoded);
  const auto sent = imaging::fitIntoFrame(*decoded);
  ASSERT_TRUE(sent);
  ASSERT_EQ(sent->width(), 4 * W);

  // Where the sent frame is one colour over a preview pixel's 4x4 block, the
  // preview shows that colour; only the blurred block edges are left out.
  int compared = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const uint8_t* first = sent->row(4 * y) + 16 * x;
      bool uniform = true;
      for (int dy = 0; dy < 4 && uniform; ++dy)
        for (int dx = 0; dx < 4 && uniform; ++dx) {
          const uint8_t* p = sent->row(4 * y + dy) + 4 * (4 * x + dx);
          for (int c = 0; c < 3; ++c) uniform = uniform && std::abs(p[c] - first[c]) <= 1;
        }
      if (!uniform) continue;
      ++compared;
      const QRgb s = shown.pixel(x, y);
      ASSERT_LE(std::abs(qBlue(s) - first[0]), 2) << x << "," << y;
      ASSERT_LE(std::abs(qGreen(s) - first[1]), 2) << x << "," << y;
      ASSERT_LE(std::abs(qRed(s) - first[2]), 2) << x << "," << y;
    }
  EXPECT_GT(compared, W * H * 8 / 10);
  // The bars are where the camera has them: 40 of 720 rows, 10 of 180.
  EXPECT_EQ(shown.pixel(W / 2, 9) & 0xffffff, 0u);
  EXPECT_NE(shown.pixel(W / 4, 10) & 0xffffff, 0u);
  EXPECT_NE(shown.pixel(W / 4, H - 11) & 0xffffff, 0u);
  EXPECT_EQ(shown.pixel(W / 2, H - 10) & 0xffffff, 0u);
}
