// Camera mode of the stream source on fake capture devices and fake timers:
// every branch of the camera set-up and of the adoption on the main queue,
// forwarding, and the tear-down that stops the session.
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
  void applyState(const CameraState& state) {
    writeState(state);
    touchHeartbeat();
    advance(0.5);
  }
  // Frames queued since the last call are all black (and there are some).
  void expectOnlyBlackFrames() {
    auto frames = takeFrames();
    ASSERT_FALSE(frames.empty()) << "the stream must not stall";
    for (auto& f : frames) ASSERT_TRUE(f.buffer && allZero(*f.buffer));
  }
  std::shared_ptr<FakeSessionRecord> onlySession() {
    auto sessions = devices->sessions();
    EXPECT_EQ(sessions.size(), 1u);
    return sessions.empty() ? nullptr : sessions.front();
  }
  // A frame from the camera, forwarded if a session feeds the stream.
  frames::ConstPixelBufferRef pushFrame(const std::string& id, uint64_t sequence, uint8_t red = 200) {
    auto sample = FakeCaptureDevices::makeFrame(sequence, 10, 20, red);
    devices->pushFrame(id, sample);
    runCaptureQueue();
    return sample.image;
  }
};

TEST_F(CameraPassthrough, NoSelectedCameraStaysBlackWithOneErrorLine) {
  startInCameraMode(std::nullopt);
  runCaptureQueue();
  advance(1.0);
  runCaptureQueue();
  EXPECT_EQ(errorLines(), std::vector<std::string>{"no camera selected; staying on black-screen"});
  EXPECT_TRUE(devices->sessions().empty());
  expectOnlyBlackFrames();
  // Later polls with still no camera change nothing.
  for (int i = 0; i < 4; ++i) applyState({CameraMode::camera, std::nullopt, std::nullopt});
  runCaptureQueue();
  EXPECT_EQ(count("no camera selected; staying on black-screen"), 1);
  EXPECT_EQ(countStartingWith("state change"), 1);
  expectOnlyBlackFrames();
}

TEST_F(CameraPassthrough, UnknownCameraStaysBlackUntilTheStateIsAppliedAgain) {
  startInCameraMode(std::string("cam-later"));
  runCaptureQueue();
  EXPECT_EQ(errorLines(), std::vector<std::string>{"no physical camera matching id: cam-later"});
  EXPECT_TRUE(devices->sessions().empty());
  advance(0.5);
  expectOnlyBlackFrames();

  // Plugged in later: not picked up while the same id stays applied...
  devices->addDevice("cam-later", "Late Cam");
  applyState({CameraMode::camera, std::nullopt, std::string("cam-later")});
  runCaptureQueue();
  EXPECT_TRUE(devices->sessions().empty());
  // ...but when the state is applied again (another mode, then back).
  applyState({CameraMode::off, std::nullopt, std::nullopt});
  applyState({CameraMode::camera, std::nullopt, std::string("cam-later")});
  runCaptureQueue();
  ASSERT_EQ(devices->runningSessions().size(), 1u);
}

TEST_F(CameraPassthrough, OurOwnVirtualCameraIsRefusedByName) {
  devices->addDevice("tovrelle-node", "Tovrelle");
  devices->addDevice("lookalike", "Tovrelle Pro");
  startInCameraMode(std::string("tovrelle-node"));
  runCaptureQueue();
  advance(0.5);
  EXPECT_EQ(errorLines(), std::vector<std::string>{"refusing to open our own virtual camera"});
  EXPECT_EQ(devices->makeInputCount(), 0) << "the device is never opened";
  EXPECT_TRUE(devices->runningSessions().empty());
  expectOnlyBlackFrames();

  // Only the exact name counts.
  applyState({CameraMode::camera, std::nullopt, std::string("lookalike")});
  runCaptureQueue();
  EXPECT_EQ(devices->runningSessions().size(), 1u);
  EXPECT_EQ(count("refusing to open our own virtual camera"), 1);
}

TEST_F(CameraPassthrough, SetUpFailuresEndInBlackWithTheirLineAndNoRunningSession) {
  struct Case {
    const char* name;
    std::function<void(FakeCaptureDevices&)> script;
    std::string line;
  };
  const std::vector<Case> cases{
      {"input", [](FakeCaptureDevices& d) { d.failInput("cam-a", "device is busy"); },
       "failed to setup camera: device is busy"},
      {"add input", [](FakeCaptureDevices& d) { d.setCanAddInput(false); }, "cannot add input for Desk Cam"},
      {"add output", [](FakeCaptureDevices& d) { d.setCanAddOutput(false); }, "cannot add output"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    clearLog();
    devices->addDevice("cam-a", "Desk Cam");
    c.script(*devices);
    startInCameraMode(std::string("cam-a"));
    runCaptureQueue();
    advance(0.5);
    EXPECT_EQ(errorLines(), std::vector<std::string>{c.line});
    for (auto& s : devices->sessions()) EXPECT_EQ(s->starts(), 0) << "a session that was not set up never starts";
    expectOnlyBlackFrames();
    // Not retried while the applied id stays the same.
    applyState({CameraMode::camera, std::nullopt, std::string("cam-a")});
    runCaptureQueue();
    EXPECT_EQ(count(c.line), 1);
  }
}

TEST_F(CameraPassthrough, AdoptedSessionForwardsTheCamerasOwnBuffersStampedWithHostTime) {
  devices->addDevice("cam-a", "Desk Cam");
  startInCameraMode(std::string("cam-a"));
  advance(0.1);
  expectOnlyBlackFrames();  // while the camera opens
  runCaptureQueue();

  auto session = onlySession();
  ASSERT_TRUE(session);
  EXPECT_EQ(session->presetWidth, 1280);
  EXPECT_EQ(session->presetHeight, 720);
  EXPECT_EQ(session->startedOnCaptureQueue, true);
  ASSERT_TRUE(session->output);
  EXPECT_EQ(session->output->pixelFormat, frames::kFourCCBGRA);
  EXPECT_TRUE(session->output->alwaysDiscardsLateVideoFrames);
  EXPECT_EQ(session->output->callbackQueue, captureQueue) << "frames arrive on the capture queue";
  EXPECT_EQ(timerQueue->liveTimerCount(), 0u) << "the black timer is cancelled on adoption";
  takeFrames();

  advance(0.2);
  EXPECT_TRUE(takeFrames().empty()) << "no synthetic frames once the camera runs";
  auto first = pushFrame("cam-a", 7);
  auto second = pushFrame("cam-a", 8);
  auto frames = takeFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].buffer, first) << "forwarded as is, not copied";
  EXPECT_EQ(frames[1].buffer, second);
  const uint64_t now = deps.hostClock();
  EXPECT_EQ(frames[1].hostTimeNs, now);
  EXPECT_TRUE(errorLines().empty());
}

TEST_F(CameraPassthrough, SelectionMovingOnDuringSetUpStopsTheNewSession) {
  devices->addDevice("cam-a", "Cam A");
  devices->addDevice("cam-b", "Cam B");
  const auto imageId = *Uuid::parse("6B1F2C3D-4E5F-4061-8293-A4B5C6D7E8F9");

  // Camera to image while A is still opening: the image path runs, and A's
  // session is stopped as soon as its set-up finishes.
  startInCameraMode(std::string("cam-a"));
  applyState({CameraMode::image, imageId, std::string("cam-a")});
  runCaptureQueue();
  auto a = onlySession();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->starts(), 1);
  EXPECT_FALSE(a->isRunning());
  EXPECT_GE(a->stops(), 1);
  takeFrames();
  pushFrame("cam-a", 1);
  advance(0.1);
  for (auto& f : takeFrames()) EXPECT_TRUE(allZero(*f.buffer)) << "nothing of A reaches the stream";

  // A then B quickly: only B is adopted.
  applyState({CameraMode::camera, std::nullopt, std::string("cam-a")});
  applyState({CameraMode::camera, std::nullopt, std::string("cam-b")});
  runCaptureQueue();
  auto running = devices->runningSessions();
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0]->deviceId(), "cam-b");
  takeFrames();
  pushFrame("cam-a", 2);
  auto fromB = pushFrame("cam-b", 3);
  auto frames = takeFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].buffer, fromB);
}

TEST_F(CameraPassthrough, TwoSetUpsForOneCameraLeaveOneSessionFeedingTheStream) {
  devices->addDevice("cam-a", "Cam A");
  startInCameraMode(std::string("cam-a"));
  // The host goes away and comes back while the first set-up is still queued:
  // the same state is applied afresh and a second set-up is queued.
  setHeartbeatAge(10);
  advance(0.5);
  touchHeartbeat();
  advance(0.5);
  EXPECT_EQ(captureQueue->pendingCount(), 2u);
  runCaptureQueue();

  auto sessions = devices->sessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_FALSE(sessions[0]->isRunning()) << "the first session is stopped when the second is adopted";
  EXPECT_TRUE(sessions[1]->isRunning());
  takeFrames();
  auto frame = pushFrame("cam-a", 1);
  auto frames = takeFrames();
  ASSERT_EQ(frames.size(), 1u) << "each camera frame reaches the stream once";
  EXPECT_EQ(frames[0].buffer, frame);
}

TEST_F(CameraPassthrough, TearDownStopsTheSessionAndLateFramesAreDropped) {
  devices->addDevice("cam-a", "Cam A");
  startInCameraMode(std::string("cam-a"));
  runCaptureQueue();
  auto session = onlySession();
  ASSERT_TRUE(session && session->isRunning());

  // A frame already on its way when the mode changes is not sent afterwards.
  devices->pushFrame("cam-a", FakeCaptureDevices::makeFrame(1, 0, 0, 200));
  clearLog();
  applyState({CameraMode::off, std::nullopt, std::nullopt});
  EXPECT_EQ(count("stopAllSources begin (hasCaptureSession=yes hasTimer=no)"), 1);
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(session->stops(), 1);
  runCaptureQueue();
  advance(0.2);
  for (auto& f : takeFrames()) EXPECT_EQ(f.buffer, cameraOffPicture);

  // Same through the client's stop.
  applyState({CameraMode::camera, std::nullopt, std::string("cam-a")});
  runCaptureQueue();
  auto again = devices->runningSessions();
  ASSERT_EQ(again.size(), 1u);
  clientStops();
  EXPECT_FALSE(again[0]->isRunning());
  takeFrames();
  devices->pushFrame("cam-a", FakeCaptureDevices::makeFrame(2));
  runCaptureQueue();
  advance(0.5);
  EXPECT_TRUE(takeFrames().empty());

  // And when the source goes away.
  clientStarts();
  runCaptureQueue();
  auto last = devices->runningSessions();
  ASSERT_EQ(last.size(), 1u);
  source.reset();
  EXPECT_FALSE(last[0]->isRunning());
}

// A camera that goes away while it is being forwarded is a failing source:
// black frames and one line, rather than a frozen picture. Disabled until the
// stream source handles VideoOutput::onInterrupted (the stream stalls today).
TEST_F(CameraPassthrough, ACameraThatGoesAwayFallsBackToBlack) {
  devices->addDevice("cam-a", "Cam A");
  startInCameraMode(std::string("cam-a"));
  runCaptureQueue();
  pushFrame("cam-a", 1);
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
// adopting it must not stop the black frames. Disabled until the stream
// source checks isRunning() after startRunning() (the stream stalls today).
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
