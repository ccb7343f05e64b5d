#pragma once
// A stream source on fake queues, a fake device layer, fake capture devices, a
// fake folder watcher and fake pictures and images, with a private data folder
// whose heartbeat age is set against a wall clock that moves with the fake
// timers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "extension/StreamSource.h"
#include "platform/log/Log.h"
#include "shared/CameraState.h"
#include "shared/DataFolder.h"
#include "tests/fakes/FakeCaptureDevices.h"
#include "tests/fakes/FakeFolderWatcher.h"
#include "tests/fakes/FakeVirtualCamera.h"
#include "tests/fakes/ManualDispatch.h"

namespace tovrelle::test {

namespace fs = std::filesystem;

inline bool isBlack(const frames::ConstFrameBufferRef& buffer) {
  return buffer && std::all_of(buffer->data(), buffer->data() + buffer->byteCount(), [](uint8_t b) { return b == 0; });
}

// An animation whose frames are distinct solid colours.
class FakeAnimation final : public extension::AnimatedImage {
 public:
  explicit FakeAnimation(std::vector<double> delays) : delays_(std::move(delays)) {
    for (size_t i = 0; i < delays_.size(); ++i) frames_.push_back(solidFrame(static_cast<uint8_t>(10 * i + 10), 0, 0));
  }
  size_t frameCount() const override { return frames_.size(); }
  double delay(size_t index) const override { return delays_.at(index); }
  frames::ConstFrameBufferRef frame(size_t index) override { return frames_.at(index); }

 private:
  std::vector<double> delays_;
  std::vector<frames::ConstFrameBufferRef> frames_;
};

class StreamSourceHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovrelle-stream-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dataDir = tmpl;
    ::setenv(kDataDirEnv, dataDir.c_str(), 1);
    log::setSink([this](const log::Record& r) {
      std::lock_guard lock(logMutex);
      records.push_back(r);
    });

    mainQueue = scheduler.makeQueue("main");
    timerQueue = scheduler.makeQueue(extension::kTimerQueueLabel);
    clientQueue = scheduler.makeQueue("client");
    // The capture queue runs only when a test drains it, so a test can hold a
    // camera set-up back while the state moves on.
    captureQueue = captureScheduler.makeQueue(extension::kCaptureQueueLabel);
    devices = std::make_shared<FakeCaptureDevices>();
    devices->setCaptureQueue(captureQueue);
    sink = std::make_shared<FakeVirtualCamera>();
    wallBase = std::chrono::system_clock::now();
    schedulerBase = scheduler.now();

    deps.mainQueue = mainQueue;
    deps.timerQueue = timerQueue;
    deps.captureQueue = captureQueue;
    deps.imageQueue = scheduler.makeQueue(extension::kImageQueueLabel);
    deps.clientQueue = clientQueue;
    deps.sink = sink;
    deps.captureDevices = devices;
    deps.folderWatcher = watcher;
    deps.makeCameraOffFrame = [this](int, int) {
      ++cameraOffBuilds;
      return cameraOffPicture;
    };
    deps.makeNotRunningFrame = [this](int, int) { return notRunningPicture; };
    deps.loadAnimatedImage = [this](const fs::path& file) -> std::shared_ptr<extension::AnimatedImage> {
      loadedFiles.push_back(file);
      auto it = animations.find(file.filename().string());
      return it == animations.end() ? nullptr : it->second;
    };
    deps.loadStillImage = [this](const fs::path& file) -> std::optional<extension::StillImage> {
      auto it = stills.find(file.filename().string());
      return it == stills.end() ? std::nullopt : std::optional(it->second);
    };
    deps.wallClock = [this] { return wallNow(); };
    deps.hostClock = [this] { return uint64_t(std::chrono::nanoseconds(scheduler.now().time_since_epoch()).count()); };
  }

  void TearDown() override {
    source.reset();
    scheduler.drainAll();
    captureQueue->drain();
    log::setSink(nullptr);
    ::unsetenv(kDataDirEnv);
    std::error_code ec;
    fs::remove_all(dataDir, ec);
  }

  // ---- the source ----
  void makeSource() {
    source = extension::StreamSource::create("Tovrelle", deps);
    ASSERT_TRUE(source);
    sink->publish(camera::DeviceDescription{}, clientQueue, source->handlers());
  }
  void clientStarts() {
    sink->clientStart();
    scheduler.drainAll();
  }
  void clientStops() {
    sink->clientStop();
    scheduler.drainAll();
  }
  void advance(double seconds) { scheduler.advance(dispatch::seconds(seconds)); }
  // The host stays alive over `n` polls.
  void polls(int n = 1) {
    for (int i = 0; i < n; ++i) {
      touchHeartbeat();
      advance(0.5);
    }
  }
  // The host writes a state; the next poll sees it.
  void apply(const CameraState& state) {
    writeState(state);
    polls();
  }
  // A running host with `state` on disk, then a client starts the stream.
  void startWith(std::optional<CameraState> state) {
    touchHeartbeat();
    if (state) writeState(*state);
    makeSource();
    clientStarts();
  }
  // The watcher reports a change; what it queued runs.
  void notify() {
    ASSERT_TRUE(watcher->reportChange()) << "nothing watches the data folder";
    scheduler.drainAll();
  }
  // Runs queued camera set-ups and frame callbacks, then what they hand back.
  void runCaptureQueue() {
    captureQueue->drain();
    scheduler.drainAll();
  }

  // ---- the data folder ----
  std::chrono::system_clock::time_point wallNow() const {
    return wallBase + std::chrono::duration_cast<std::chrono::system_clock::duration>(scheduler.now() - schedulerBase);
  }
  // Creates the heartbeat if needed and dates it now on the fake clock.
  void touchHeartbeat() {
    const fs::path file = dataDir / "heartbeat";
    if (!fs::exists(file)) std::ofstream(file).close();
    fs::last_write_time(file, std::chrono::file_clock::from_sys(wallNow()));
  }
  void removeHeartbeat() { fs::remove(dataDir / "heartbeat"); }
  void writeFile(const std::string& name, const std::string& bytes) { std::ofstream(dataDir / name) << bytes; }
  void writeState(const CameraState& state) { writeFile("state.json", encodeCameraState(state)); }
  void writeLibrary(const std::vector<SavedImage>& images) { writeFile("images.json", encodeSavedImages(images)); }
  fs::path addImageFile(const std::string& fileName) {
    fs::create_directories(dataDir / "Images");
    fs::path file = dataDir / "Images" / fileName;
    std::ofstream(file) << "picture bytes";
    return file;
  }

  // ---- what a peer sees ----
  std::vector<std::string> lines(bool errorsOnly = false) const {
    std::lock_guard lock(logMutex);
    std::vector<std::string> out;
    for (auto& r : records)
      if (!errorsOnly || r.level == log::Level::Error) out.push_back(r.message);
    return out;
  }
  std::vector<std::string> errorLines() const { return lines(true); }
  int count(const std::string& line) const { return int(std::ranges::count(lines(), line)); }
  int countStartingWith(const std::string& prefix) const {
    return int(std::ranges::count_if(lines(), [&](auto& l) { return l.starts_with(prefix); }));
  }
  void clearLog() {
    std::lock_guard lock(logMutex);
    records.clear();
  }
  // Frames queued since the last call.
  std::vector<FakeVirtualCamera::Frame> takeFrames() {
    auto f = sink->frames();
    sink->clearFrames();
    return f;
  }
  // The picture the stream shows 0.1 s from now.
  frames::ConstFrameBufferRef shownNext() {
    takeFrames();
    advance(0.1);
    auto f = takeFrames();
    return f.empty() ? nullptr : f.back().buffer;
  }

  ManualScheduler scheduler;
  ManualScheduler captureScheduler;
  std::shared_ptr<ManualQueue> mainQueue, timerQueue, clientQueue, captureQueue;
  std::shared_ptr<FakeCaptureDevices> devices;
  std::shared_ptr<FakeVirtualCamera> sink;
  std::shared_ptr<FakeFolderWatcher> watcher = std::make_shared<FakeFolderWatcher>();
  extension::StreamSource::Dependencies deps;
  std::shared_ptr<extension::StreamSource> source;
  fs::path dataDir;
  std::chrono::system_clock::time_point wallBase;
  dispatch::Clock::time_point schedulerBase;

  frames::FrameBufferRef cameraOffPicture = solidFrame(62, 62, 62);
  frames::FrameBufferRef notRunningPicture = solidFrame(31, 26, 26);
  int cameraOffBuilds = 0;
  std::map<std::string, std::shared_ptr<extension::AnimatedImage>> animations;
  std::map<std::string, extension::StillImage> stills;
  std::vector<fs::path> loadedFiles;

  mutable std::mutex logMutex;
  std::vector<log::Record> records;
};

}  // namespace tovrelle::test
