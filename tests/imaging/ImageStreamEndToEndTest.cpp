// The extension streaming to a real PipeWire client (tovrelle-snap) in a
// private session: the camera-off picture, the not-running picture, a still
// library image and a sideways-stored phone photo. (How an animation plays is
// judged on fake clocks in the stream source tests.)
#include <cairo.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "shared/CameraState.h"
#include "shared/DataFolder.h"
#include "shared/Uuid.h"
#include "tests/imaging/ImagingTestSupport.h"
#include "tests/support/Services.h"

namespace tovrelle::test {
namespace {

using namespace std::chrono_literals;
using namespace fixtures;

// A 1280 x 720 PNG the client saved, read back with Cairo.
class SavedFrame {
 public:
  explicit SavedFrame(const std::string& path) : surface_(cairo_image_surface_create_from_png(path.c_str())) {}
  ~SavedFrame() { cairo_surface_destroy(surface_); }
  bool ok() const {
    return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS && cairo_image_surface_get_width(surface_) == 1280 &&
           cairo_image_surface_get_height(surface_) == 720;
  }
  Rgb8 at(int x, int y) const {
    const uint8_t* p = cairo_image_surface_get_data(surface_) + y * cairo_image_surface_get_stride(surface_) + x * 4;
    return {p[2], p[1], p[0]};
  }
  // Whether the pixel at (x, y) is within `tolerance` of `want`.
  ::testing::AssertionResult is(int x, int y, Rgb8 want, int tolerance = 0) const {
    if (!ok()) return ::testing::AssertionFailure() << "no 1280 x 720 frame";
    if (near(at(x, y), want, tolerance)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << x << ", " << y << ") is " << at(x, y);
  }

 private:
  cairo_surface_t* surface_;
};

class ImageStreamEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = std::make_unique<PrivateSession>();
    data_ = session_->makeFolder("data");
    setenv(kDataDirEnv, data_.c_str(), 1);
    writeState({CameraMode::off, std::nullopt, std::nullopt});
    startHeartbeat();
    extension_ = session_->spawn({(binaryDir() / "tovrelle-camera-extension").string()},
                                 {{kDataDirEnv, data_.string()}}, "extension.log");
    ASSERT_TRUE(extension_->waitForLog("on PipeWire (node", 10s)) << extension_->log();
  }

  void TearDown() override {
    stopHeartbeat();
    if (extension_) extension_->stop();
    extension_.reset();
    session_.reset();
    unsetenv(kDataDirEnv);
  }

  void writeState(const CameraState& state) {
    ASSERT_TRUE(writeFileAtomically(stateFilePath(), encodeCameraState(state)));
  }

  void startHeartbeat() {
    beating_ = true;
    heartbeat_ = std::thread([this] {
      while (beating_) {
        touchHeartbeat();
        std::this_thread::sleep_for(200ms);
      }
    });
  }
  void stopHeartbeat() {
    beating_ = false;
    if (heartbeat_.joinable()) heartbeat_.join();
  }

  // Lists a file of the Images folder as the only library image and selects it.
  void selectFile(const std::string& fileName) {
    const Uuid id = Uuid::random();
    ASSERT_TRUE(writeFileAtomically(imagesFilePath(), encodeSavedImages({{id, fileName + " picture", fileName}})));
    writeState({CameraMode::image, id, std::nullopt});
  }

  // A frame once the poll has applied the state: frame 20 of a fresh client.
  std::unique_ptr<SavedFrame> settledFrame(const std::string& prefix) {
    auto client =
        session_->spawn({(binaryDir() / "tovrelle-snap").string(), "--format", "BGRA", "--frames", "21", "--output",
                         session_->runtimeDir().string(), "--timeout", "30", "--save", "20", "--prefix", prefix},
                        {}, "snap-" + prefix + ".log");
    EXPECT_EQ(client->wait(40s), 0) << client->log() << "\n--- extension:\n" << extension_->log();
    auto frame = std::make_unique<SavedFrame>((session_->runtimeDir() / (prefix + "-20.png")).string());
    EXPECT_TRUE(frame->ok()) << client->log();
    return frame;
  }

  std::unique_ptr<PrivateSession> session_;
  std::filesystem::path data_;
  std::unique_ptr<Process> extension_;
  std::thread heartbeat_;
  std::atomic<bool> beating_{false};
};

TEST_F(ImageStreamEndToEnd, PicturesAndLibraryImagesReachTheClient) {
  // Mode off: the camera-off picture.
  auto frame = settledFrame("off");
  for (auto [x, y] : {std::pair{0, 0}, {1279, 0}, {0, 719}, {1279, 719}, {460, 430}})  // the last inside the body
    EXPECT_TRUE(frame->is(x, y, {62, 62, 62}));
  EXPECT_TRUE(frame->is(397, 381, {136, 136, 136}));

  // A stale heartbeat: the not-running picture, title above subtitle.
  stopHeartbeat();
  struct timespec stale[2];
  clock_gettime(CLOCK_REALTIME, &stale[0]);
  stale[0].tv_sec -= 10;
  stale[1] = stale[0];
  ASSERT_EQ(utimensat(AT_FDCWD, heartbeatFilePath().c_str(), stale, 0), 0);
  frame = settledFrame("notrunning");
  EXPECT_TRUE(frame->is(0, 0, {25, 25, 30}, 1));
  EXPECT_TRUE(frame->is(1279, 719, {25, 25, 30}, 1));
  int ink = 0;  // the two text lines (their layout is the drawing tests' business)
  for (int x = 0; x < 1280 && frame->ok(); x += 2)
    for (int y = 300; y < 420; y += 2) ink += !near(frame->at(x, y), {25, 25, 30}, 2);
  EXPECT_GT(ink, 100);
  ASSERT_TRUE(extension_->waitForLog("host running changed: unknown -> no", 1s)) << extension_->log();
  startHeartbeat();

  // A selected still image, fitted on black.
  writeFile(imagesDir() / "quadrants.bmp", encodeBmp(100, 100, quadrantsRgb(100, 100)));
  selectFile("quadrants.bmp");
  frame = settledFrame("still");
  EXPECT_TRUE(frame->is(100, 360, kBlack));  // bars
  EXPECT_TRUE(frame->is(1180, 360, kBlack));
  EXPECT_TRUE(frame->is(400, 200, kRed, 2));
  EXPECT_TRUE(frame->is(880, 200, kGreen, 2));
  EXPECT_TRUE(frame->is(400, 520, kBlue, 2));
  EXPECT_TRUE(frame->is(880, 520, kWhite, 2));
  EXPECT_TRUE(extension_->waitForLog("loaded image quadrants.bmp picture (100x100) for display", 1s))
      << extension_->log();

  // A phone photo stored sideways with EXIF orientation 6: shown upright, pillarboxed.
  writeJpeg(
      imagesDir() / "portrait.jpg", 120, 60,
      [](int, uint8_t* rgb) {
        for (int x = 0; x < 120; ++x)
          std::copy_n(x < 60 ? "\xff\0\0" : "\0\0\xff", 3, rgb + 3 * x);  // top: stored left
      },
      6, 95);
  selectFile("portrait.jpg");
  frame = settledFrame("portrait");
  EXPECT_TRUE(frame->is(300, 360, kBlack));
  EXPECT_TRUE(frame->is(980, 360, kBlack));
  EXPECT_TRUE(frame->is(640, 150, kRed, 20));
  EXPECT_TRUE(frame->is(640, 570, kBlue, 20));
  EXPECT_TRUE(extension_->waitForLog("loaded image portrait.jpg picture (60x120) for display", 1s))
      << extension_->log();
}

}  // namespace
}  // namespace tovrelle::test
