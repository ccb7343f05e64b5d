// Switching the physical camera: from "state.json" naming another camera
// (renamed into place, as the app does) to the first frame of that camera at
// a client of the virtual camera. Two test cameras stay open in this process
// the whole time, so both keep counting frames and a frame's counter tells
// which camera sent it; the camera's own start-up is therefore not counted.
// Target: max <= 300 ms. Runs its own private PipeWire; needs
// tovrelle-testcam and tovrelle-camera-extension next to it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/frames/VideoFrame.h"
#include "platform/log/Log.h"
#include "shared/CameraState.h"
#include "shared/DataFolder.h"
#include "tests/support/Services.h"
#include "tools/testcam/TestPattern.h"

using namespace tovrelle;
using namespace std::chrono_literals;
namespace tp = tovrelle::testpattern;
using Clock = std::chrono::steady_clock;

namespace {

// Reads one node and keeps the counter of its newest decodable frame. The
// cameras' own readers keep them sending all along, 3 s of frames apart.
class Reader {
 public:
  Reader(capture::CaptureDevices& devices, const std::string& id)
      : queue_(dispatch::makeSerialQueue("ossel.tovrelle.bench.reader")) {
    auto info = devices.deviceWithUniqueId(id);
    if (!info) throw std::runtime_error(id + " is not attached");
    auto input = devices.makeInput(*info);
    if (!input.input) throw std::runtime_error("cannot open " + id + ": " + input.error);
    session_ = devices.makeSession();
    session_->setPreset(1280, 720);
    session_->addInput(input.input);
    auto output = std::make_shared<capture::VideoOutput>();
    output->callbackQueue = queue_;
    output->onFrame = [this](const capture::CapturedFrame& s) { onFrame(s); };
    session_->addOutput(output);
    session_->startRunning();
    if (!session_->isRunning()) throw std::runtime_error("cannot capture " + id);
  }
  ~Reader() { session_->stopRunning(); }

  struct Seen {
    uint32_t counter = 0;
    Clock::time_point at;
    uint64_t frames = 0;
  };
  Seen latest() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  void onFrame(const capture::CapturedFrame& s) {
    if (!s.image) return;
    const auto at = Clock::now();
    writer_.write(s.image, frames::PixelFormat::bgra, 1280, 720, bgra_.data());
    auto d = tp::decode(bgra_.data(), 1280, 720, 1280 * 4);
    if (!d) return;
    std::lock_guard lock(mutex_);
    seen_ = {d->counter, at, seen_.frames + 1};
  }

  std::shared_ptr<dispatch::Queue> queue_;
  std::unique_ptr<capture::CaptureSession> session_;
  frames::FrameWriter writer_;
  std::vector<uint8_t> bgra_ = std::vector<uint8_t>(1280 * 720 * 4);
  mutable std::mutex mutex_;
  Seen seen_;
};

Clock::time_point writeState(const CameraState& state) { return bench::writeStateAsTheAppDoes(state); }

// A camera's counter advances by one a frame; a frame within this many of
// the last one seen before the switch is still the old camera's.
constexpr uint32_t kSameCamera = 45;

using bench::percentile;

}  // namespace

int main(int argc, char** argv) {
  int switches = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
  log::setSink([](const log::Record& r) {
    if (r.level == log::Level::Error) std::printf("  (log) %s\n", r.message.c_str());
  });
  test::PrivateSession session;
  const auto bin = test::binaryDir();
  auto startCamera = [&](const char* name, const char* node, const char* format, const char* size) {
    auto cam = session.spawn({(bin / "tovrelle-testcam").string(), "--name", name, "--node-name", node, "--format",
                              format, "--size", size, "--fps", "30"});
    cam->waitForLog("ready as", 10s);
    return cam;
  };
  // Two ordinary webcams: one sending MJPEG, one sending YUY2.
  auto camA = startCamera("Switch Cam A", "switch-cam-a", "MJPEG", "1280x720");
  auto camB = startCamera("Switch Cam B", "switch-cam-b", "YUY2", "1280x720");
  const std::string ids[2] = {"switch-cam-a", "switch-cam-b"};

  auto data = session.makeFolder("data");
  ::setenv("TOVRELLE_DATA_DIR", data.c_str(), 1);
  CameraState state;
  state.mode = CameraMode::camera;
  state.selectedCameraId = ids[0];
  writeState(state);
  std::atomic<bool> beating{true};
  std::thread heartbeat([&] {
    while (beating) {
      touchHeartbeat();
      std::this_thread::sleep_for(500ms);
    }
  });

  int failures = 0;
  std::vector<double> ms;
  {
    auto devices = capture::makePipeWireCaptureDevices();
    auto extension =
        session.spawn({(bin / "tovrelle-camera-extension").string()}, {{"TOVRELLE_DATA_DIR", data.string()}});
    const auto appear = Clock::now() + 15s;
    while (!(devices->deviceWithUniqueId("Tovrelle") && devices->deviceWithUniqueId(ids[0]) &&
             devices->deviceWithUniqueId(ids[1]))) {
      if (Clock::now() > appear) {
        std::printf("the camera nodes did not appear; extension log:\n%s\n", extension->log().c_str());
        beating = false;
        heartbeat.join();
        return 1;
      }
      std::this_thread::sleep_for(20ms);
    }
    // B starts counting 3 s after A, so their counters never come near.
    Reader readA(*devices, ids[0]);
    std::this_thread::sleep_for(3s);
    Reader readB(*devices, ids[1]);
    Reader client(*devices, "Tovrelle");
    std::this_thread::sleep_for(1s);

    std::mt19937 random(7);
    int current = 0;
    std::printf("cameras' counters: %u and %u\n", readA.latest().counter, readB.latest().counter);
    for (int i = 0; i < switches; ++i) {
      const int next = 1 - current;
      // Anywhere in a frame period, after the old camera has settled.
      std::this_thread::sleep_for(std::chrono::milliseconds(600 + random() % 400));
      state.selectedCameraId = ids[next];
      const auto written = writeState(state);
      const auto deadline = written + 5s;
      bool arrived = false;
      const auto before = client.latest();
      uint64_t seen = before.frames;
      while (Clock::now() < deadline) {
        const auto frame = client.latest();
        if (frame.frames != seen) {
          seen = frame.frames;
          // The old camera's frames carry counters just after the last one seen.
          const uint32_t sinceOld = frame.counter - before.counter;
          if (frame.at > written && sinceOld > kSameCamera) {
            ms.push_back(std::chrono::duration<double, std::milli>(frame.at - written).count());
            arrived = true;
            break;
          }
        }
        std::this_thread::sleep_for(1ms);
      }
      if (!arrived) {
        ++failures;
        std::printf("  switch %d to %s: no frame of it within 5 s (client's counter %u, was %u)\n", i,
                    ids[next].c_str(), client.latest().counter, before.counter);
      }
      current = next;
    }
    extension->stop();
  }
  beating = false;
  heartbeat.join();
  log::setSink(nullptr);

  std::printf("camera switch -> first frame of the new camera at a client, %zu switches (%d missed)\n", ms.size(),
              failures);
  std::printf("p50 %.1f ms  p90 %.1f ms  max %.1f ms  (target max <= 300 ms) %s\n", percentile(ms, 0.5),
              percentile(ms, 0.9), percentile(ms, 1.0),
              !ms.empty() && failures == 0 && percentile(ms, 1.0) <= 300 ? "PASS" : "FAIL");
  return 0;
}
