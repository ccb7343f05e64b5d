// Camera mode of the stream source when the camera fails under it: a camera
// that goes away while streaming, or one that never starts, leaves black
// frames and no running session.
#include "tests/extension/StreamSourceHarness.h"

using namespace tovrelle;
using namespace tovrelle::test;

namespace {

class CameraPassthrough : public StreamSourceHarness {
 protected:
  // The host is alive and asks for camera mode with `cameraId`.
  void startInCameraMode(std::optional<std::string> cameraId) {
    touchHeartbeat();
    writeState({CameraMode::camera, std::nullopt, std::move(cameraId)});
    makeSource();
    clientStarts();
  }
  // Frames queued since the last call are all black (and there are some).
  void expectOnlyBlackFrames() {
    auto frames = takeFrames();
    ASSERT_FALSE(frames.empty()) << "the stream must not stall";
    for (auto& f : frames) ASSERT_TRUE(f.buffer && allZero(*f.buffer));
  }
  // A frame from the camera; true when it reached the stream.
  bool pushFrame(const std::string& id, uint64_t sequence) {
    devices->pushFrame(id, FakeCaptureDevices::makeFrame(sequence, 10, 20, 200));
    runCaptureQueue();
    auto frames = takeFrames();
    return !frames.empty() && frames.back().buffer && !allZero(*frames.back().buffer);
  }
};

TEST_F(CameraPassthrough, ACameraThatGoesAwayFallsBackToBlack) {
  devices->addDevice("cam-a", "Cam A");
  startInCameraMode(std::string("cam-a"));
  runCaptureQueue();
  EXPECT_TRUE(pushFrame("cam-a", 1));
  takeFrames();
  clearLog();
  devices->removeDevice("cam-a");
  runCaptureQueue();
  advance(0.5);
  expectOnlyBlackFrames();
  EXPECT_EQ(errorLines().size(), 1u);
  EXPECT_TRUE(devices->runningSessions().empty());
}

// A session whose camera vanished while it was being opened does not run;
// adopting it must not stop the black frames.
TEST_F(CameraPassthrough, ASessionThatFailedToStartLeavesTheStreamBlack) {
  devices->addDevice("cam-a", "Cam A");
  devices->failStart("cam-a");
  startInCameraMode(std::string("cam-a"));
  runCaptureQueue();
  advance(0.5);
  expectOnlyBlackFrames();
  EXPECT_EQ(errorLines().size(), 1u);
  EXPECT_TRUE(devices->runningSessions().empty());
}

}  // namespace
