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
