// The stream source in camera mode, on fake timers and a fake capture
// service: what a client receives while the chosen camera opens, sends,
// stalls, goes and comes back, and what the service logs.
#include "tests/extension/StreamSourceHarness.h"

using namespace tovrelle;
using namespace tovrelle::test;

using CameraModeTest = StreamSourceHarness;

TEST_F(CameraModeTest, SelectedCameraIsOpenedOnTheCaptureQueueAndItsFramesForwardedUnchanged) {
  devices->addDevice("usb-1", "Desk Camera");
  startWith(CameraState{CameraMode::camera, std::nullopt, std::string("usb-1")});
  EXPECT_EQ(count("startCameraClock (isStreaming=yes)"), 1) << "black while the camera opens";
  ASSERT_TRUE(devices->sessions().empty()) << "set-up waits for the capture queue";
  advance(0.1);
  auto black = takeFrames();
  ASSERT_FALSE(black.empty());
  uint64_t lastSequence = black.back().sequence;

  runCaptureQueue();
  auto sessions = devices->sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]->presetWidth, 1280);
  EXPECT_EQ(sessions[0]->presetHeight, 720);
  EXPECT_EQ(sessions[0]->startedOnCaptureQueue, true);
  EXPECT_TRUE(sessions[0]->isRunning());
  EXPECT_EQ(sessions[0]->output->pixelFormat, frames::PixelFormat::bgra);
  EXPECT_TRUE(sessions[0]->output->alwaysDiscardsLateVideoFrames);
  EXPECT_EQ(timerQueue->liveTimerCount(), 1u) << "the stream's clock outlives the adoption";

  for (auto& f : takeFrames()) lastSequence = f.sequence;
  auto sample = FakeCaptureDevices::makeFrame(77, 10, 20, 30);
  ASSERT_EQ(devices->pushFrame("usb-1", sample), 1);
  runCaptureQueue();
  auto frames = takeFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].frame.storage, sample.image.storage) << "forwarded without a copy";
  EXPECT_EQ(frames[0].sequence, lastSequence + 1) << "camera frames continue the stream's one counter";
  for (int i = 0; i < 30; ++i) {
    devices->pushFrame("usb-1", FakeCaptureDevices::makeFrame(100 + i));
    runCaptureQueue();
    advance(camera::toSeconds(extension::kFrameDuration));
  }
  for (auto& f : takeFrames()) EXPECT_FALSE(isBlack(f.buffer)) << "no clock frames while the camera feeds the stream";

  clearLog();
  clientStops();
  EXPECT_EQ(count("stopAllSources begin (hasCaptureSession=yes hasTimer=yes)"), 1);
  EXPECT_FALSE(sessions[0]->isRunning());
  devices->pushFrame("usb-1", FakeCaptureDevices::makeFrame(78));
  runCaptureQueue();
  EXPECT_TRUE(takeFrames().empty()) << "frames after a stop are dropped";
}

TEST_F(CameraModeTest, SetUpFailuresStayBlackWithTheirLine) {
  devices->addDevice("busy", "Busy Cam");
  devices->failInput("busy", "device is busy");
  devices->addDevice("noin", "No Input Cam");
  devices->addDevice("noout", "No Output Cam");
  devices->addDevice("nostart", "Vanishing Cam");
  devices->failStart("nostart");
  startWith(CameraState{});

  struct Case {
    std::string id, line;
    bool canAddInput, canAddOutput;
  } cases[] = {
      {"busy", "failed to setup camera: device is busy", true, true},
      {"noin", "cannot add input for No Input Cam", false, true},
      {"noout", "cannot add output", true, false},
      {"nostart", "failed to setup camera: the camera stopped while it was being opened", true, true},
  };
  for (auto& c : cases) {
    devices->setCanAddInput(c.canAddInput);
    devices->setCanAddOutput(c.canAddOutput);
    apply({CameraMode::camera, std::nullopt, c.id});
    runCaptureQueue();
    EXPECT_EQ(count(c.line), 1) << c.id;
    EXPECT_TRUE(isBlack(shownNext())) << c.id;
  }
  EXPECT_TRUE(devices->runningSessions().empty());
}

TEST_F(CameraModeTest, ASessionOpenedForAnOutdatedStateNeverFeedsTheStream) {
  devices->addDevice("usb-a", "Camera A");
  devices->addDevice("usb-b", "Camera B");
  // Set-up of A is queued on the capture queue, not run yet.
  startWith(CameraState{CameraMode::camera, std::nullopt, std::string("usb-a")});

  // The user switches to camera B, then to image mode, before A opens.
  apply({CameraMode::camera, std::nullopt, std::string("usb-b")});
  apply({CameraMode::image, std::nullopt, std::string("usb-b")});

  captureQueue->drain();  // A and B open and start running...
  auto sessions = devices->sessions();
  ASSERT_EQ(sessions.size(), 2u);
  takeFrames();
  devices->pushFrame("usb-a", FakeCaptureDevices::makeFrame(1));
  devices->pushFrame("usb-b", FakeCaptureDevices::makeFrame(2));
  captureQueue->drain();
  EXPECT_TRUE(takeFrames().empty()) << "frames of sessions not adopted are not forwarded";
  scheduler.drainAll();  // ...and are stopped when the main queue sees the state moved on
  EXPECT_FALSE(sessions[0]->isRunning());
  EXPECT_FALSE(sessions[1]->isRunning());
  EXPECT_EQ(timerQueue->liveTimerCount(), 1u) << "the image-mode black timer keeps running";
  EXPECT_TRUE(isBlack(shownNext()));
}

TEST_F(CameraModeTest, ASecondAdoptionForTheSameCameraStopsTheFirstSession) {
  devices->addDevice("usb-a", "Camera A");
  startWith(CameraState{CameraMode::camera, std::nullopt, std::string("usb-a")});
  // The host goes away and comes back before the first set-up ran: the same
  // state is applied again and a second set-up is queued for the same camera.
  removeHeartbeat();
  advance(0.5);
  polls();
  EXPECT_EQ(count("state change mode=camera image=nil camera=usb-a"), 2);
  runCaptureQueue();
  auto sessions = devices->sessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(devices->runningSessions().size(), 1u) << "only one session may feed the stream";
  EXPECT_TRUE(sessions[1]->isRunning());

  takeFrames();
  devices->pushFrame("usb-a", FakeCaptureDevices::makeFrame(5));
  runCaptureQueue();
  EXPECT_EQ(takeFrames().size(), 1u);
}

// Switching into camera mode: black frames every period while the camera
// opens and until it sends its first frame.
TEST_F(CameraModeTest, FramesKeepFlowingWhileTheCameraOpensAndStarts) {
  devices->addDevice("usb-1", "Desk Camera");
  startWith(CameraState{});
  takeFrames();
  apply({CameraMode::camera, std::nullopt, std::string("usb-1")});
  EXPECT_EQ(sink->property("tovrelle.camera.state"), "starting");
  takeFrames();
  advance(0.5);
  EXPECT_GE(takeFrames().size(), 12u) << "while the set-up waits";
  runCaptureQueue();
  ASSERT_EQ(devices->runningSessions().size(), 1u);
  advance(1.0);
  auto frames = takeFrames();
  EXPECT_GE(frames.size(), 25u) << "after the adoption, before the camera's first frame";
  for (auto& f : frames) EXPECT_TRUE(isBlack(f.buffer));
  auto sample = FakeCaptureDevices::makeFrame(1, 10, 20, 30);
  ASSERT_EQ(devices->pushFrame("usb-1", sample), 1);
  runCaptureQueue();
  frames = takeFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].frame.storage, sample.image.storage);
  EXPECT_EQ(sink->property("tovrelle.camera.state"), "live");
}

// A camera that stops sending (a stopped process, a USB stall): its last
// frame for a moment, then black with one line, frames all along; its
// frames again when it sends again.
TEST_F(CameraModeTest, ACameraThatStopsSendingIsRepeatedThenBlackWithOneLine) {
  devices->addDevice("usb-1", "Desk Camera");
  startWith(CameraState{CameraMode::camera, std::nullopt, std::string("usb-1")});
  runCaptureQueue();
  const double period = camera::toSeconds(extension::kFrameDuration);
  capture::CapturedFrame last;
  for (int i = 0; i < 10; ++i) {
    last = FakeCaptureDevices::makeFrame(i, 10, 20, 30);
    devices->pushFrame("usb-1", last);
    runCaptureQueue();
    advance(period);
  }
  EXPECT_EQ(sink->property("tovrelle.camera.state"), "live");
  takeFrames();
  clearLog();

  advance(extension::kCameraQuietAfter + 0.2);
  auto frames = takeFrames();
  ASSERT_GE(frames.size(), 4u) << "frames keep flowing";
  EXPECT_EQ(frames.back().frame.storage, last.image.storage) << "the last camera frame, repeated";
  EXPECT_TRUE(errorLines().empty());

  polls(4);  // past kCameraStallAfter, the app alive
  frames = takeFrames();
  ASSERT_GE(frames.size(), 30u) << "frames keep flowing";
  EXPECT_TRUE(isBlack(frames.back().buffer));
  polls(6);
  EXPECT_GE(takeFrames().size(), 60u);
  EXPECT_EQ(errorLines(),
            std::vector<std::string>{"the camera has sent no frame for 1.0 s; showing black until it sends again"});
  EXPECT_EQ(sink->property("tovrelle.camera.state"), "stalled");

  auto again = FakeCaptureDevices::makeFrame(99, 40, 50, 60);
  ASSERT_EQ(devices->pushFrame("usb-1", again), 1);
  runCaptureQueue();
  frames = takeFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].frame.storage, again.image.storage);
  EXPECT_EQ(count("the camera sends frames again"), 1);
  EXPECT_EQ(sink->property("tovrelle.camera.state"), "live");
}

// A slow camera whose frames are read in its own buffer (raw YUV): those
// cannot be kept, so between its frames the stream sends nothing rather than
// black, until the camera is silent long enough to count as stalled.
TEST_F(CameraModeTest, ASlowCameraWithLentFramesNeverFlickersBlack) {
  devices->addDevice("usb-1", "Desk Camera");
  startWith(CameraState{CameraMode::camera, std::nullopt, std::string("usb-1")});
  runCaptureQueue();
  std::vector<std::shared_ptr<const void>> owners;
  auto push = [&](int i) {
    auto sample = FakeCaptureDevices::makeFrame(i, 10, 20, 30);
    owners.push_back(sample.image.storage);
    sample.image.storage.reset();
    ASSERT_EQ(devices->pushFrame("usb-1", sample), 1);
    runCaptureQueue();
  };
  push(0);
  takeFrames();
  for (int i = 1; i < 8; ++i) {
    advance(0.25);  // four frames a second
    push(i);
  }
  auto frames = takeFrames();
  ASSERT_GE(frames.size(), 7u);
  for (auto& f : frames) EXPECT_FALSE(isBlack(f.buffer)) << "black between a slow camera's frames";
  EXPECT_TRUE(errorLines().empty());

  advance(extension::kCameraStallAfter + 0.2);
  frames = takeFrames();
  ASSERT_FALSE(frames.empty());
  EXPECT_TRUE(isBlack(frames.back().buffer)) << "a silent camera ends in black all the same";
}

// The camera disappears (unplugged, its process killed) and returns under
// the same name: black meanwhile, its frames again once it is back.
TEST_F(CameraModeTest, ACameraThatGoesAndComesBackIsOpenedAgain) {
  devices->addDevice("usb-1", "Desk Camera");
  startWith(CameraState{CameraMode::camera, std::nullopt, std::string("usb-1")});
  runCaptureQueue();
  devices->pushFrame("usb-1", FakeCaptureDevices::makeFrame(1, 10, 20, 30));
  runCaptureQueue();

  devices->removeDevice("usb-1");
  runCaptureQueue();
  EXPECT_EQ(sink->property("tovrelle.camera.state"), "missing");
  EXPECT_TRUE(isBlack(shownNext()));

  devices->addDevice("usb-2", "Other Camera");
  runCaptureQueue();
  EXPECT_TRUE(devices->runningSessions().empty()) << "another camera is not the one chosen";

  devices->addDevice("usb-1", "Desk Camera");
  runCaptureQueue();  // the notice reaches the main queue
  runCaptureQueue();  // the set-up it queued
  auto running = devices->runningSessions();
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0]->deviceId(), "usb-1");
  auto sample = FakeCaptureDevices::makeFrame(2, 40, 50, 60);
  ASSERT_EQ(devices->pushFrame("usb-1", sample), 1);
  runCaptureQueue();
  auto frames = takeFrames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().frame.storage, sample.image.storage);
  EXPECT_EQ(sink->property("tovrelle.camera.state"), "live");
}

// Camera mode without a chosen camera: the system's default camera, else the
// first camera that is not Tovrelle itself; none attached is said once and
// waits for one.
TEST_F(CameraModeTest, NoChoiceMeansTheSystemsDefaultCamera) {
  devices->addDevice("Tovrelle", "Tovrelle");
  startWith(CameraState{CameraMode::camera, std::nullopt, std::nullopt});
  runCaptureQueue();
  EXPECT_EQ(count("no camera selected and no camera attached; staying on black-screen"), 1);
  EXPECT_EQ(sink->property("tovrelle.camera.state"), "missing");
  EXPECT_TRUE(devices->sessions().empty());

  devices->addDevice("usb-a", "Camera A");
  runCaptureQueue();
  runCaptureQueue();
  auto running = devices->runningSessions();
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0]->deviceId(), "usb-a");
  EXPECT_EQ(count("no camera selected; using the default camera \"Camera A\" (usb-a)"), 1);

  devices->addDevice("usb-b", "Camera B");
  devices->setDefaultDevice("usb-b");
  apply({});
  apply({CameraMode::camera, std::nullopt, std::nullopt});
  runCaptureQueue();
  running = devices->runningSessions();
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0]->deviceId(), "usb-b") << "the system's default";
  auto sample = FakeCaptureDevices::makeFrame(1, 10, 20, 30);
  ASSERT_EQ(devices->pushFrame("usb-b", sample), 1);
  runCaptureQueue();
  auto frames = takeFrames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().frame.storage, sample.image.storage);
}
