#pragma once
// Helpers for the capture tests that run against a private PipeWire: test
// cameras as child processes, and a frame sink that decodes what arrives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture/CaptureDevices.h"
#include "platform/log/Log.h"
#include "tests/support/Services.h"
#include "tools/testcam/TestPattern.h"

namespace tovrelle::test {

using namespace std::chrono_literals;

// Polls `pred` until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Starts tovrelle-testcam and waits until its node exists.
inline std::unique_ptr<Process> startTestCam(const PrivateSession& session, const std::vector<std::string>& args) {
  std::vector<std::string> argv{(binaryDir() / "tovrelle-testcam").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  auto cam = session.spawn(argv);
  if (!cam->waitForLog("ready as", 10s)) ADD_FAILURE() << "testcam did not come up:\n" << cam->log();
  return cam;
}

// What one delivered frame looked like.
struct SeenFrame {
  int width = 0;
  int height = 0;
  std::optional<testpattern::Decoded> decoded;
  testpattern::Rgb bars[testpattern::kBarCount]{};
};

inline SeenFrame inspect(const capture::CapturedFrame& sample) {
  SeenFrame f;
  if (!sample.image) return f;
  // What a BGRA client of the virtual camera would be shown.
  thread_local frames::FrameWriter writer;
  auto img = frames::makeFrameBuffer(frames::kFrameWidth, frames::kFrameHeight);
  if (!writer.write(sample.image, frames::PixelFormat::bgra, img->width(), img->height(), img->data(),
                    img->bytesPerRow()))
    return f;
  f.width = img->width();
  f.height = img->height();
  f.decoded = testpattern::decode(img->data(), img->width(), img->height(), img->bytesPerRow());
  for (int i = 0; i < testpattern::kBarCount; ++i)
    f.bars[i] =
        testpattern::sample(img->data(), img->bytesPerRow(), testpattern::barCentre(i, img->width(), img->height()));
  return f;
}

inline bool near(testpattern::Rgb a, testpattern::Rgb b, int tolerance = 40) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

inline std::string show(testpattern::Rgb c) {
  return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// Collects frames from an output on a real serial queue.
class FrameSink {
 public:
  explicit FrameSink(std::chrono::milliseconds busyFor = 0ms)
      : queue_(dispatch::makeSerialQueue("ossel.tovrelle.test.frames")), busyFor_(busyFor) {}

  std::shared_ptr<capture::VideoOutput> makeOutput() {
    auto output = std::make_shared<capture::VideoOutput>();
    output->callbackQueue = queue_;
    output->onFrame = [this](const capture::CapturedFrame& s) {
      SeenFrame f = inspect(s);
      {
        std::lock_guard lock(mutex_);
        frames_.push_back(f);
      }
      if (busyFor_ > 0ms) std::this_thread::sleep_for(busyFor_);
    };
    output->onInterrupted = [this](const std::string& reason) {
      std::lock_guard lock(mutex_);
      interruptions_.push_back(reason);
    };
    return output;
  }

  std::vector<SeenFrame> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  size_t count() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }
  std::vector<std::string> interruptions() const {
    std::lock_guard lock(mutex_);
    return interruptions_;
  }

 private:
  std::shared_ptr<dispatch::Queue> queue_;
  std::chrono::milliseconds busyFor_;
  mutable std::mutex mutex_;
  std::vector<SeenFrame> frames_;
  std::vector<std::string> interruptions_;
};

// Records log lines for the duration of a test.
class LogCapture {
 public:
  LogCapture() {
    log::setSink([this](const log::Record& r) {
      std::lock_guard lock(mutex_);
      lines_.push_back(r.message);
    });
  }
  ~LogCapture() { log::setSink(nullptr); }
  int count(const std::string& needle) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (auto& l : lines_)
      if (l.find(needle) != std::string::npos) ++n;
    return n;
  }
  std::string all() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (auto& l : lines_) out += l + "\n";
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace tovrelle::test
