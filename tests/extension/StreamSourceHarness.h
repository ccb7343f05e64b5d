#pragma once
// A stream source on fake queues, a fake device layer, fake capture devices
// and fake pictures and images, with a private data folder whose heartbeat
// age is set against a wall clock that moves with the fake timers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

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
#include "tests/fakes/FakeVirtualCamera.h"
#include "tests/fakes/ManualDispatch.h"

namespace tovrelle::test {

namespace fs = std::filesystem;

inline bool allZero(const frames::PixelBuffer& buffer) {
  const uint8_t* p = buffer.data();
  for (size_t i = 0; i < buffer.byteCount(); ++i)
    if (p[i] != 0) return false;
  return true;
}

// An animation whose frames are distinct solid colours.
class FakeAnimation final : public extension::AnimatedImage {
 public:
  explicit FakeAnimation(std::vector<double> delays) : delays_(std::move(delays)) {
    for (size_t i = 0; i < delays_.size(); ++i)
      frames_.push_back(solidFrame(static_cast<uint8_t>(10 * i + 10), 0, 0));
  }
  size_t frameCount() const override { return frames_.size(); }
  double delay(size_t index) const override { return delays_.at(index); }
  frames::ConstPixelBufferRef frame(size_t index) override { return frames_.at(index); }
  const frames::ConstPixelBufferRef& at(size_t i) const { return frames_.at(i); }

 private:
  std::vector<double> delays_;
  std::vector<frames::ConstPixelBufferRef> frames_;
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
    deps.clientQueue = clientQueue;
    deps.sink = sink;
    deps.captureDevices = devices;
    deps.makeCameraOffFrame = [this](int, int) -> frames::PixelBufferRef {
      ++cameraOffBuilds;
      return cameraOffPicture;
    };
    deps.makeNotRunningFrame = [this](int, int) -> frames::PixelBufferRef { return notRunningPicture; };
    deps.loadAnimatedImage = [this](const fs::path& file) -> std::shared_ptr<extension::AnimatedImage> {
      loadedFiles.push_back(file);
      auto it = animations.find(file.filename().string());
      return it == animations.end() ? nullptr : it->second;
    };
    deps.loadStillImage = [this](const fs::path& file) -> std::optional<extension::StillImage> {
      auto it = stills.find(file.filename().string());
      if (it == stills.end()) return std::nullopt;
      return it->second;
    };
    deps.wallClock = [this] { return wallNow(); };
    deps.hostClock = [this] {
      return static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(scheduler.now().time_since_epoch()).count());
    };
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
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wallNow().time_since_epoch()).count();
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
    times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  }
  void removeHeartbeat() { fs::remove(dataDir / "heartbeat"); }
  void writeFile(const std::string& name, const std::string& bytes) {
    std::ofstream out(dataDir / name, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  void writeState(const CameraState& state) { writeFile("state.json", encodeCameraState(state)); }
  void writeLibrary(const std::vector<SavedImage>& images) { writeFile("images.json", encodeSavedImages(images)); }
  fs::path addImageFile(const std::string& fileName) {
    fs::create_directories(dataDir / "Images");
    fs::path file = dataDir / "Images" / fileName;
    std::ofstream(file) << "picture bytes";
    return file;
  }

  // ---- what a peer sees ----
  std::vector<std::string> lines() const {
    std::lock_guard lock(logMutex);
    std::vector<std::string> out;
    for (auto& r : records) out.push_back(r.message);
    return out;
  }
  std::vector<std::string> errorLines() const {
    std::lock_guard lock(logMutex);
    std::vector<std::string> out;
    for (auto& r : records)
      if (r.level == log::Level::Error) out.push_back(r.message);
    return out;
  }
  int count(const std::string& line) const {
    int n = 0;
    for (auto& l : lines()) n += l == line;
    return n;
  }
  int countStartingWith(const std::string& prefix) const {
    int n = 0;
    for (auto& l : lines()) n += l.rfind(prefix, 0) == 0;
    return n;
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

  ManualScheduler scheduler;
  ManualScheduler captureScheduler;
  std::shared_ptr<ManualQueue> mainQueue, timerQueue, clientQueue, captureQueue;
  std::shared_ptr<FakeCaptureDevices> devices;
  std::shared_ptr<FakeVirtualCamera> sink;
  extension::StreamSource::Dependencies deps;
  std::shared_ptr<extension::StreamSource> source;
  fs::path dataDir;
  std::chrono::system_clock::time_point wallBase;
  dispatch::Clock::time_point schedulerBase;

  frames::PixelBufferRef cameraOffPicture = solidFrame(62, 62, 62);
  frames::PixelBufferRef notRunningPicture = solidFrame(31, 26, 26);
  int cameraOffBuilds = 0;
  std::map<std::string, std::shared_ptr<extension::AnimatedImage>> animations;
  std::map<std::string, extension::StillImage> stills;
  std::vector<fs::path> loadedFiles;

  mutable std::mutex logMutex;
  std::vector<log::Record> records;
};

}  // namespace tovrelle::test
