// The stream source's life cycle and mode state machine, on fake timers: what
// a client receives and what the extension logs at each transition.
#include <sys/stat.h>
#include "tests/extension/StreamSourceHarness.h"

using namespace tovrelle;
using namespace tovrelle::test;

using StreamLifecycle = StreamSourceHarness;

TEST_F(StreamLifecycle, StartWithoutHostShowsNotRunningPictureAfterLoggedTransition) {
  makeSource();
  EXPECT_TRUE(takeFrames().empty()) << "nothing flows before a client starts the stream";
  clientStarts();
  EXPECT_TRUE(source->streaming());
  EXPECT_EQ(lines(),
            (std::vector<std::string>{"startStreamingInternal (was streaming=no)",
                                      "startBlackScreenTimer (isStreaming=yes)", "host running changed: unknown -> no",
                                      "stopAllSources begin (hasCaptureSession=no hasTimer=yes)", "stopAllSources done",
                                      "startNotRunningTimer (isStreaming=yes)"}));

  advance(1.0);
  auto frames = takeFrames();
  ASSERT_EQ(frames.size(), 31u) << "one frame at start, then every 1/30 s";
  for (auto& f : frames) EXPECT_EQ(f.buffer, notRunningPicture);
  EXPECT_EQ(count("not-running-timer firing first frame"), 1);
  // Host time at sending, sequence counted from the start.
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].sequence, i + 1);
  for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i].hostTimeNs - frames[i - 1].hostTimeNs, 33333333u);
  // The poll keeps judging the host but says nothing while nothing changes.
  EXPECT_EQ(countStartingWith("host running changed"), 1);
  EXPECT_EQ(countStartingWith("cannot read state.json"), 0) << "state.json is not read while the host is away";
}

TEST_F(StreamLifecycle, SecondStartIsOnlyLoggedStopEndsFramesAndPollsAndARestartBeginsAfresh) {
  makeSource();
  clientStarts();
  clientStarts();
  EXPECT_EQ(count("startStreamingInternal (was streaming=yes)"), 1);
  EXPECT_EQ(countStartingWith("startBlackScreenTimer"), 1);
  advance(0.2);
  clearLog();
  takeFrames();

  clientStops();
  EXPECT_FALSE(source->streaming());
  EXPECT_EQ(lines(), (std::vector<std::string>{"stopStreamingInternal",
                                               "stopAllSources begin (hasCaptureSession=no hasTimer=yes)",
                                               "stopAllSources done"}));
  touchHeartbeat();
  writeState({CameraMode::off, std::nullopt, std::nullopt});
  advance(2.0);
  EXPECT_TRUE(takeFrames().empty());
  EXPECT_EQ(lines().size(), 3u) << "no poll runs after a stop";
  EXPECT_EQ(mainQueue->liveTimerCount(), 0u);
  EXPECT_EQ(timerQueue->liveTimerCount(), 0u);

  // Started again, liveness is judged from unknown and frames count from 1.
  clearLog();
  touchHeartbeat();
  clientStarts();
  ASSERT_GE(lines().size(), 3u);
  EXPECT_EQ(lines()[2], "host running changed: unknown -> yes");
  EXPECT_EQ(count("state change mode=off image=nil camera=nil"), 1);
  advance(0.1);
  auto frames = takeFrames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front().sequence, 1u);
  EXPECT_EQ(frames.front().buffer, cameraOffPicture);
}

TEST_F(StreamLifecycle, HandlersDoNothingOnceTheSourceIsGone) {
  makeSource();
  clientStarts();
  advance(0.1);
  source.reset();
  takeFrames();
  sink->clientStop();
  sink->clientStart();
  advance(1.0);
  EXPECT_TRUE(takeFrames().empty());
}

using HostLiveness = StreamSourceHarness;

TEST_F(HostLiveness, HostQuitsThenReturnsAndTheSameStateIsAppliedAfresh) {
  startWith(CameraState{});
  advance(1.0);
  EXPECT_EQ(count("state change mode=off image=nil camera=nil"), 1);
  EXPECT_EQ(takeFrames().back().buffer, cameraOffPicture);

  // The host stops touching the heartbeat (last touched at t=0 of this phase).
  touchHeartbeat();
  clearLog();
  advance(2.9);
  EXPECT_EQ(countStartingWith("host running changed"), 0);
  advance(0.6);  // 3.5 s: stale plus at most one poll
  EXPECT_EQ(count("host running changed: yes -> no"), 1);
  EXPECT_EQ(count("startNotRunningTimer (isStreaming=yes)"), 1);
  EXPECT_EQ(shownNext(), notRunningPicture);

  // Back: the unchanged state is applied again, forced.
  clearLog();
  touchHeartbeat();
  advance(0.5);
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "host running changed: no -> yes", "stopAllSources begin (hasCaptureSession=no hasTimer=yes)",
                         "stopAllSources done", "state change mode=off image=nil camera=nil",
                         "stopAllSources begin (hasCaptureSession=no hasTimer=no)", "stopAllSources done",
                         "startCameraOffTimer (isStreaming=yes)", "camera-off-timer firing first frame"}));
  EXPECT_EQ(cameraOffBuilds, 1) << "the camera-off picture is drawn once and reused";
}

using StateMachine = StreamSourceHarness;

TEST_F(StateMachine, ForcedFirstApplyReplacesBlackWithCameraOffAndLogsEachStateOnce) {
  startWith(CameraState{});
  EXPECT_EQ(lines(),
            (std::vector<std::string>{
                "startStreamingInternal (was streaming=no)", "startBlackScreenTimer (isStreaming=yes)",
                "host running changed: unknown -> yes", "stopAllSources begin (hasCaptureSession=no hasTimer=yes)",
                "stopAllSources done", "observed state mode=off image=nil camera=nil",
                "state change mode=off image=nil camera=nil", "stopAllSources begin (hasCaptureSession=no hasTimer=no)",
                "stopAllSources done", "startCameraOffTimer (isStreaming=yes)"}));
  polls(10);
  EXPECT_EQ(countStartingWith("observed state"), 1);
  EXPECT_EQ(countStartingWith("state change"), 1);
  EXPECT_EQ(count("camera-off-timer firing first frame"), 1);
  for (auto& f : takeFrames()) EXPECT_EQ(f.buffer, cameraOffPicture);
}

TEST_F(StateMachine, ModeChangesTearDownAndStartTheNextSourceInOrder) {
  startWith(CameraState{});
  advance(0.1);
  clearLog();

  const auto imageId = *Uuid::parse("6B1F2C3D-4E5F-4061-8293-A4B5C6D7E8F9");
  apply({CameraMode::image, imageId, std::string("cam-1")});
  EXPECT_EQ(lines(),
            (std::vector<std::string>{
                "observed state mode=image image=6B1F2C3D-4E5F-4061-8293-A4B5C6D7E8F9 camera=cam-1",
                "state change mode=image image=6B1F2C3D-4E5F-4061-8293-A4B5C6D7E8F9 camera=cam-1",
                // The camera-off picture flows until the image is known to be missing.
                "cannot read images.json at " + (dataDir / "images.json").string() + ": No such file or directory",
                "stopAllSources begin (hasCaptureSession=no hasTimer=yes)", "stopAllSources done",
                "startBlackScreenTimer (isStreaming=yes)", "black-timer firing first frame"}));

  // The selected camera does not matter in image mode.
  clearLog();
  apply({CameraMode::image, imageId, std::string("cam-2")});
  EXPECT_EQ(countStartingWith("observed state"), 1);
  EXPECT_EQ(countStartingWith("state change"), 0);
  EXPECT_EQ(countStartingWith("cannot read images.json"), 0) << "an image that failed stays black, not retried";

  // Back to off.
  clearLog();
  apply({});
  EXPECT_EQ(count("state change mode=off image=nil camera=nil"), 1);
  EXPECT_EQ(count("startCameraOffTimer (isStreaming=yes)"), 1);
  // Only one frame timer at any time.
  EXPECT_EQ(timerQueue->liveTimerCount(), 1u);
}

TEST_F(StateMachine, StateFileFailuresAreSaidBoundedEscapedAndOnlyWhenTheyChange) {
  startWith(std::nullopt);
  const std::string readLine = "cannot read state.json at " + (dataDir / "state.json").string();
  EXPECT_EQ(count(readLine + ": No such file or directory"), 1);
  EXPECT_EQ(count("startCameraOffTimer (isStreaming=yes)"), 1);
  polls(20);
  EXPECT_EQ(countStartingWith(readLine), 1) << "a persisting failure is not said at every poll";
  EXPECT_EQ(takeFrames().back().buffer, cameraOffPicture);

  // 60 KB of text with newlines, polled for 5 s: one short line that forges none.
  std::string hostile;
  while (hostile.size() < 60000) hostile += "root:x:0:0:root:/root:/bin/bash\n";
  hostile.resize(60000);
  writeFile("state.json", hostile);
  clearLog();
  polls(10);
  EXPECT_EQ(errorLines(),
            (std::vector<std::string>{
                "cannot decode state.json (60000 bytes): \"root:x:0:0:root:/root:/bin/bash\\nroot:x:0:0:root:\"..."}));
  size_t logged = 0;
  for (auto& l : lines()) logged += l.size() + 1;
  EXPECT_LT(logged, 1000u);

  // A link to another file is not followed, so nothing of it is read or logged.
  fs::remove(dataDir / "state.json");
  std::ofstream(dataDir / "passwd") << "secret:x:0:0\n";
  fs::create_symlink(dataDir / "passwd", dataDir / "state.json");
  clearLog();
  polls();
  EXPECT_EQ(errorLines(), (std::vector<std::string>{readLine + ": is a symbolic link"}));

  // Each change of the failure is said once; so is a persisting one every 10 minutes.
  fs::remove(dataDir / "state.json");
  writeFile("state.json", std::string("{\"mode\":\"o\xff\"}", 13));
  clearLog();
  polls(extension::kStateFailureRepeatPolls + 1);
  EXPECT_EQ(errorLines(),
            (std::vector<std::string>(2, "cannot decode state.json (13 bytes): \"{\\\"mode\\\":\\\"o\\xff\\\"}\"")));
  EXPECT_EQ(countStartingWith("state change"), 0) << "every fallback is the same default state";
}

using ImageMode = StreamSourceHarness;

namespace {
const Uuid kImageA = *Uuid::parse("11111111-2222-4333-8444-555555555555");
const Uuid kImageB = *Uuid::parse("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
}  // namespace

TEST_F(ImageMode, StillImageSendsItsPreRenderedFrame) {
  const auto file = addImageFile("C0FFEE00-0000-4000-8000-000000000001_Beach.png");
  stills[file.filename().string()] = extension::StillImage{solidFrame(1, 2, 3), 1000, 1000};
  writeLibrary({{kImageB, "Other", "missing.png"},
                {kImageA, "Beach", file.filename().string()},
                {kImageA, "Duplicate", "nope.png"}});
  startWith(CameraState{CameraMode::image, kImageA, std::nullopt});
  EXPECT_EQ(count("loaded image Beach (1000x1000) for display"), 1) << "the first entry with the id wins";
  EXPECT_EQ(count("startImageTimer (isStreaming=yes)"), 1);
  advance(0.5);
  auto frames = takeFrames();
  ASSERT_FALSE(frames.empty());
  for (auto& f : frames) EXPECT_EQ(f.buffer, stills.begin()->second.rendered);
  EXPECT_EQ(count("image-timer firing first frame"), 1);

  // An unchanged id is not loaded again.
  const size_t loads = loadedFiles.size();
  polls(2);
  EXPECT_EQ(loadedFiles.size(), loads);
}

TEST_F(ImageMode, AnimationAdvancesByItsDelaysRoundedUpToFirings) {
  const auto file = addImageFile("loop.gif");
  auto animation = std::make_shared<FakeAnimation>(std::vector<double>{0.1, 0.05, 0.5});
  animations["loop.gif"] = animation;
  writeLibrary({{kImageA, "Loop", "loop.gif"}});
  startWith(CameraState{CameraMode::image, kImageA, std::nullopt});
  EXPECT_EQ(count("loaded animated image Loop (3 frames)"), 1);
  EXPECT_EQ(count("startAnimatedImageTimer (3 frames, isStreaming=yes)"), 1);
  advance(22.0 / 30.0 + 0.001);
  auto frames = takeFrames();
  ASSERT_EQ(frames.size(), 23u);
  std::string shown;
  for (auto& f : frames)
    for (size_t i = 0; i < 3; ++i)
      if (f.buffer == animation->frame(i)) shown += char('0' + i);
  // 0.1 s -> 4 firings (the 4th comes after 0.1 s has passed), 0.05 s -> 2,
  // 0.5 s -> 16, then the loop starts again.
  EXPECT_EQ(shown, "000011" + std::string(16, '2') + "0");
}

TEST_F(ImageMode, LookupFailuresEndInBlackWithOneLinePerApplication) {
  startWith(CameraState{CameraMode::image, kImageA, std::nullopt});
  EXPECT_EQ(countStartingWith("cannot read images.json at " + (dataDir / "images.json").string()), 1);

  const std::string missingKey = "[{\"id\":\"11111111-2222-4333-8444-555555555555\",\"name\":\"x\"}]";
  writeFile("images.json", missingKey);
  apply({CameraMode::image, kImageB, std::nullopt});
  EXPECT_EQ(count("cannot decode images.json (" + std::to_string(missingKey.size()) + " bytes)"), 1);

  writeLibrary({{kImageB, "B", "b.png"}});
  apply({CameraMode::image, kImageA, std::nullopt});
  polls();
  EXPECT_EQ(count("imageId 11111111-2222-4333-8444-555555555555 not found in 1 saved images"), 1)
      << "once per application, not per poll";
  EXPECT_TRUE(isBlack(shownNext()));
  EXPECT_EQ(count("startBlackScreenTimer (isStreaming=yes)"), 4);
}

TEST_F(ImageMode, FileNamesLeavingTheImagesFolderAreNeverOpened) {
  // Links, folders and pipes inside Images are refused by the loaders themselves.
  std::ofstream(dataDir / "secret.png") << "not for the camera";
  stills["secret.png"] = extension::StillImage{solidFrame(9, 9, 9), 10, 10};
  const std::vector<std::string> names = {(dataDir / "secret.png").string(), "../secret.png", "sub/../../secret.png",
                                          "..", ""};
  std::vector<SavedImage> library;
  for (auto& name : names) library.push_back({Uuid::random(), "Entry", name});
  writeLibrary(library);
  startWith(std::nullopt);
  for (auto& entry : library) apply({CameraMode::image, entry.id, std::nullopt});
  EXPECT_TRUE(loadedFiles.empty()) << "no loader was handed any of these";
  EXPECT_EQ(countStartingWith("NSImage(contentsOf:) failed for "), static_cast<int>(names.size()));
  EXPECT_TRUE(isBlack(shownNext()));
}

TEST_F(ImageMode, TheOldAnimationIsReleasedBeforeTheNextIsLoaded) {
  addImageFile("a.gif");
  addImageFile("b.gif");
  auto first = std::make_shared<FakeAnimation>(std::vector<double>{0.1, 0.1});
  std::weak_ptr<extension::AnimatedImage> weakFirst = first;
  animations["a.gif"] = std::move(first);
  animations["b.gif"] = std::make_shared<FakeAnimation>(std::vector<double>{0.1, 0.1});
  bool firstAliveAtSecondLoad = true;
  deps.loadAnimatedImage = [&weakFirst, &firstAliveAtSecondLoad, load = deps.loadAnimatedImage](const fs::path& file) {
    if (file.filename() == "b.gif") firstAliveAtSecondLoad = !weakFirst.expired();
    return load(file);
  };
  writeLibrary({{kImageA, "A", "a.gif"}, {kImageB, "B", "b.gif"}});
  startWith(CameraState{CameraMode::image, kImageA, std::nullopt});
  advance(0.2);
  animations.erase("a.gif");
  ASSERT_FALSE(weakFirst.expired()) << "playing";
  apply({CameraMode::image, kImageB, std::nullopt});
  EXPECT_EQ(count("loaded animated image B (2 frames)"), 1);
  EXPECT_FALSE(firstAliveAtSecondLoad) << "two animations held at once";
}

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

using FolderNotifications = StreamSourceHarness;

// Every step happens before the first poll is due (0.5 s), so only the
// notification can have brought the new picture.
TEST_F(FolderNotifications, EachChoiceShowsInTheNextFrameWithoutWaitingForThePoll) {
  const auto file = addImageFile("still.png");
  stills[file.filename().string()] = extension::StillImage{solidFrame(1, 2, 3), 100, 100};
  writeLibrary({{kImageA, "Still", file.filename().string()}});
  devices->addDevice("usb-1", "Desk Camera");
  startWith(CameraState{});
  EXPECT_EQ(watcher->folder(), dataDir);
  EXPECT_EQ(watcher->names(), (std::vector<std::string>{"state.json", "images.json", "heartbeat"}));
  const double frame = camera::toSeconds(extension::kFrameDuration);

  // Changes come at least the notified-check spacing apart, as clicks do.
  auto firstFrameAfter = [&](const CameraState& state) {
    advance(extension::kNotifiedCheckSpacing);
    writeState(state);
    takeFrames();
    notify();
    advance(frame);
    auto frames = takeFrames();
    return frames.empty() ? nullptr : frames.front().buffer;
  };
  EXPECT_EQ(firstFrameAfter({CameraMode::image, kImageA, std::nullopt}), stills.begin()->second.rendered);
  EXPECT_EQ(firstFrameAfter({}), cameraOffPicture);
  // The camera: black at once, its own frames as soon as it delivers them.
  EXPECT_TRUE(isBlack(firstFrameAfter({CameraMode::camera, std::nullopt, std::string("usb-1")})));
  runCaptureQueue();
  auto sample = FakeCaptureDevices::makeFrame(7, 40, 50, 60);
  ASSERT_EQ(devices->pushFrame("usb-1", sample), 1);
  runCaptureQueue();
  auto frames = takeFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].frame.storage, sample.image.storage);

  // The app quits and marks its heartbeat stopped.
  clearLog();
  advance(extension::kNotifiedCheckSpacing);
  takeFrames();
  markHeartbeatStopped();
  notify();
  advance(frame);
  frames = takeFrames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front().buffer, notRunningPicture);
  EXPECT_EQ(count("host running changed: yes -> no"), 1);
  EXPECT_EQ(countStartingWith("observed state"), 0) << "no state was read for it";
}

TEST_F(FolderNotifications, ABurstOfAThousandWritesInASecondIsReadBoundedTimesAndTheLastWins) {
  addImageFile("a.png");
  addImageFile("b.png");
  stills["a.png"] = extension::StillImage{solidFrame(1, 1, 1), 10, 10};
  stills["b.png"] = extension::StillImage{solidFrame(2, 2, 2), 10, 10};
  writeLibrary({{kImageA, "A", "a.png"}, {kImageB, "B", "b.png"}});
  startWith(CameraState{});
  clearLog();
  const CameraState states[3] = {
      {}, {CameraMode::image, kImageA, std::nullopt}, {CameraMode::image, kImageB, std::nullopt}};
  for (int i = 0; i < 1000; ++i) {
    if (i % 100 == 0) touchHeartbeat();
    writeState(states[(i + 2) % 3]);  // ends on B
    ASSERT_TRUE(watcher->reportChange());
    advance(0.001);
  }
  EXPECT_EQ(shownNext(), stills["b.png"].rendered);
  // One check per spacing and one per poll at most, not one per write.
  const int bound = int(1.0 / extension::kNotifiedCheckSpacing + 1.0 / extension::kStateCheckInterval) + 3;
  EXPECT_LE(countStartingWith("state change"), bound);
  EXPECT_GE(countStartingWith("state change"), 2);
  EXPECT_LT(lines().size(), size_t(bound) * 10) << "the log grows with the checks, not with the writes";
}

TEST_F(FolderNotifications, AStateFileSwappedForAFifoOrAFolderAfterItsEventIsRefusedAndTheNextWriteWins) {
  const auto file = addImageFile("still.png");
  stills[file.filename().string()] = extension::StillImage{solidFrame(1, 2, 3), 100, 100};
  writeLibrary({{kImageA, "Still", file.filename().string()}});
  startWith(CameraState{CameraMode::image, kImageA, std::nullopt});
  const fs::path statePath = dataDir / "state.json";
  const std::string readLine = "cannot read state.json at " + statePath.string();

  writeState({CameraMode::camera, std::nullopt, std::nullopt});
  ASSERT_TRUE(watcher->reportChange());
  fs::remove(statePath);
  ASSERT_EQ(::mkfifo(statePath.c_str(), 0600), 0);
  EXPECT_EQ(shownNext(), cameraOffPicture) << "an unreadable state is the default state";
  EXPECT_EQ(count(readLine + ": is a FIFO"), 1);

  ASSERT_TRUE(watcher->reportChange());
  fs::remove(statePath);
  fs::create_directory(statePath);
  EXPECT_EQ(shownNext(), cameraOffPicture);
  EXPECT_EQ(count(readLine + ": is a folder"), 1);

  fs::remove(statePath);
  writeState({CameraMode::image, kImageA, std::nullopt});
  notify();
  EXPECT_EQ(shownNext(), stills.begin()->second.rendered);
}

TEST_F(FolderNotifications, WithoutNotificationsThePollTakesOverAndSaysSoOnce) {
  const std::string reason =
      "cannot watch " + dataDir.string() + ": the inotify watch limit is reached (fs.inotify.max_user_watches)";
  const std::string line = "data folder changes are not notified (" + reason + "); checking it every 0.5 s";
  watcher->refuse(reason);
  startWith(CameraState{});
  EXPECT_EQ(errorLines(), std::vector<std::string>{line});
  EXPECT_FALSE(watcher->reportChange());
  writeState({CameraMode::camera, std::nullopt, std::nullopt});
  polls();
  EXPECT_TRUE(isBlack(shownNext())) << "the poll found the change";

  // Every client start tries again; an unchanged refusal is not said again.
  clientStops();
  clientStarts();
  EXPECT_EQ(watcher->starts(), 2);
  EXPECT_EQ(count(line), 1);

  watcher->refuse(std::nullopt);
  clientStops();
  clientStarts();
  EXPECT_EQ(count("data folder changes are notified again"), 1);
  writeState({});
  notify();
  EXPECT_EQ(shownNext(), cameraOffPicture);
}

TEST_F(FolderNotifications, AStoppedStreamWatchesNothing) {
  startWith(CameraState{});
  EXPECT_TRUE(watcher->watching());
  clientStops();
  EXPECT_FALSE(watcher->watching());
  EXPECT_FALSE(watcher->reportChange());
  clearLog();
  writeState({CameraMode::camera, std::nullopt, std::nullopt});
  advance(1.0);
  EXPECT_TRUE(takeFrames().empty());
  EXPECT_TRUE(lines().empty());
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

// A picture that takes long to decode: it decodes on the image queue, off
// the main queue and the frame clock, while the picture shown before keeps
// flowing; of several asked for meanwhile only the newest is decoded.
TEST_F(ImageMode, ANewPictureDecodesOffTheFrameClockWhileThePreviousOneFlows) {
  auto held = captureScheduler.makeQueue(extension::kImageQueueLabel);
  deps.imageQueue = held;
  for (auto name : {"a.png", "b.png", "c.png"}) addImageFile(name);
  stills["a.png"] = extension::StillImage{solidFrame(1, 1, 1), 10, 10};
  stills["b.png"] = extension::StillImage{solidFrame(2, 2, 2), 10, 10};
  stills["c.png"] = extension::StillImage{solidFrame(3, 3, 3), 10, 10};
  const auto imageC = *Uuid::parse("0C0C0C0C-0C0C-4C0C-8C0C-0C0C0C0C0C0C");
  writeLibrary({{kImageA, "A", "a.png"}, {kImageB, "B", "b.png"}, {imageC, "C", "c.png"}});
  std::vector<std::string> decoded;
  bool onImageQueue = true;
  deps.loadStillImage = [&, load = deps.loadStillImage](const fs::path& file) {
    decoded.push_back(file.filename().string());
    onImageQueue = onImageQueue && held->isCurrent();
    return load(file);
  };
  startWith(CameraState{CameraMode::image, kImageA, std::nullopt});
  held->drain();
  scheduler.drainAll();
  ASSERT_EQ(shownNext(), stills["a.png"].rendered);

  apply({CameraMode::image, kImageB, std::nullopt});
  apply({CameraMode::image, imageC, std::nullopt});
  advance(0.5);
  auto frames = takeFrames();
  ASSERT_GE(frames.size(), 12u) << "frames keep flowing while the pictures wait to decode";
  for (auto& f : frames) EXPECT_EQ(f.buffer, stills["a.png"].rendered) << "the previous picture";

  held->drain();
  scheduler.drainAll();
  EXPECT_EQ(shownNext(), stills["c.png"].rendered);
  EXPECT_EQ(decoded, (std::vector<std::string>{"a.png", "c.png"})) << "B was outdated before it was decoded";
  EXPECT_TRUE(onImageQueue);
}
