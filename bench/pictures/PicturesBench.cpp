// pictures_bench: CPU of the camera extension while a client streams the
// camera-off picture and a still library image, against the same extension
// streaming black frames (a new zeroed buffer every firing), all in one run.
// The pictures are drawn once and the still image rendered once, so the three
// should cost about the same. Also: one drawing of each picture, once.
#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/drawing/Pictures.h"
#include "platform/frames/FrameBuffer.h"
#include "shared/CameraState.h"
#include "shared/DataFolder.h"
#include "shared/Uuid.h"
#include "tests/support/Services.h"

using namespace tovrelle;
using namespace tovrelle::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// CPU time of every thread of a process, in seconds (nanosecond counters).
double cpuSeconds(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  double total = 0;
  if (DIR* dir = opendir(tasks.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
      unsigned long long ns = 0;
      if (stat >> ns) total += static_cast<double>(ns) / 1e9;
    }
    closedir(dir);
  }
  return total;
}

// A 24-bit BMP of quadrant colours, written directly.
void writeBmp(const std::filesystem::path& path, int w, int h) {
  const uint32_t row = (static_cast<uint32_t>(w) * 3 + 3) & ~3u, size = row * static_cast<uint32_t>(h);
  std::vector<uint8_t> b{'B', 'M'};
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto u16 = [&](uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
  };
  u32(54 + size), u32(0), u32(54), u32(40), u32(static_cast<uint32_t>(w)), u32(static_cast<uint32_t>(h));
  u16(1), u16(24), u32(0), u32(size), u32(2835), u32(2835), u32(0), u32(0);
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) {
      const bool right = x >= w / 2, bottom = y >= h / 2;
      b.push_back(bottom && !right ? 255 : bottom ? 255 : 0);  // blue
      b.push_back(!bottom && right ? 255 : bottom && right ? 255 : 0);
      b.push_back(!bottom && !right ? 255 : bottom && right ? 255 : 0);
    }
    for (uint32_t pad = static_cast<uint32_t>(w) * 3; pad < row; ++pad) b.push_back(0);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

struct Measurement {
  double cpuPercent = 0;
  std::string snapResult;
};

class Rig {
 public:
  Rig() {
    data_ = session_.makeFolder("data");
    setenv(kDataDirEnv, data_.c_str(), 1);
    writeState({CameraMode::off, std::nullopt, std::nullopt});
    beating_ = true;
    heartbeat_ = std::thread([this] {
      while (beating_) {
        touchHeartbeat();
        std::this_thread::sleep_for(200ms);
      }
    });
    extension_ = session_.spawn({(binaryDir() / "tovrelle-camera-extension").string()}, {{kDataDirEnv, data_.string()}},
                                "extension.log");
    if (!extension_->waitForLog("on PipeWire (node", 10s)) throw std::runtime_error(extension_->log());
  }
  ~Rig() {
    beating_ = false;
    heartbeat_.join();
    extension_->stop();
  }

  void writeState(const CameraState& s) {
    if (auto written = writeFileAtomically(stateFilePath(), encodeCameraState(s)); !written)
      throw std::runtime_error(written.error());
  }

  std::optional<Uuid> addImage(const std::string& fileName) {
    writeBmp(imagesDir() / fileName, 1600, 1200);
    const Uuid id = Uuid::random();
    if (auto written = writeFileAtomically(imagesFilePath(), encodeSavedImages({{id, fileName, fileName}})); !written)
      throw std::runtime_error(written.error());
    return id;
  }

  // Streams to a client for `settle` + `window`, measuring the extension's
  // CPU over the window only.
  Measurement stream(std::chrono::seconds settle, std::chrono::seconds window) {
    return streamFrom(extension_->pid(), "Tovrelle", settle, window);
  }

  // The same for a GStreamer pipeline that sends black 1280x720 BGRA frames
  // at 30/s into PipeWire; none if it cannot be started.
  std::optional<Measurement> streamGStreamerBlack(std::chrono::seconds settle, std::chrono::seconds window) {
    auto gst = session_.spawn({"gst-launch-1.0", "-q", "videotestsrc", "pattern=black", "is-live=true", "!",
                               "video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1", "!", "pipewiresink",
                               "mode=provide", "stream-properties=props,media.class=Video/Source,node.name=gstblack"},
                              {}, "gst.log");
    std::this_thread::sleep_for(2s);
    if (!gst->running()) return std::nullopt;
    Measurement m = streamFrom(gst->pid(), "gstblack", settle, window);
    gst->stop();
    return m;
  }

  Measurement streamFrom(pid_t producer, const std::string& target, std::chrono::seconds settle,
                         std::chrono::seconds window) {
    const int frames = static_cast<int>((settle + window).count() * 30 + 60);
    auto snap =
        session_.spawn({(binaryDir() / "tovrelle-snap").string(), "--target", target, "--format", "BGRA", "--frames",
                        std::to_string(frames), "--timeout", std::to_string((settle + window).count() + 20)},
                       {}, "snap.log");
    std::this_thread::sleep_for(settle);
    const double cpu0 = cpuSeconds(producer);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(window);
    const double cpu1 = cpuSeconds(producer);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    snap->wait(60s);
    const std::string log = snap->log();
    const size_t at = log.find("result=");
    std::string result = at == std::string::npos ? "none" : log.substr(at, log.find('\n', at) - at);
    if (const size_t error = log.find("error="); error != std::string::npos)
      result += ", " + log.substr(error, log.find('\n', error) - error);
    if (const size_t frames = log.find("frames="); frames != std::string::npos)
      result += ", " + log.substr(frames, log.find('\n', frames) - frames);
    return {100.0 * (cpu1 - cpu0) / wall, result};
  }

  const std::string extensionLog() const { return extension_->log(); }

 private:
  PrivateSession session_;
  std::filesystem::path data_;
  std::unique_ptr<Process> extension_;
  std::thread heartbeat_;
  std::atomic<bool> beating_{false};
};

double millisecondsOf(const std::function<void()>& fn, int runs) {
  const auto t0 = Clock::now();
  for (int i = 0; i < runs; ++i) fn();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / runs;
}

}  // namespace

int main() {
  std::printf("== one drawing of each picture, 1280x720 (done once per extension run)\n");
  const double black = millisecondsOf([] { frames::makeFrameBuffer(1280, 720)->fillZero(); }, 50);
  const double off = millisecondsOf([] { drawing::makeCameraOffFrame(1280, 720); }, 20);
  const double notRunning = millisecondsOf([] { drawing::makeNotRunningFrame(1280, 720); }, 20);
  std::printf("black frame %.3f ms, camera-off %.3f ms (%.1fx), not-running %.3f ms (%.1fx)\n", black, off, off / black,
              notRunning, notRunning / black);

  std::printf("\n== extension CPU while a client streams (10 s windows after 3 s to settle)\n");
  Rig rig;
  const auto settle = 3s, window = 10s;
  const auto imageId = rig.addImage("still.bmp");

  struct Mode {
    const char* name;
    CameraState state;
  };
  const std::vector<Mode> modes = {
      {"black (image mode, none selected)", {CameraMode::image, std::nullopt, std::nullopt}},
      {"off (camera-off picture)", {CameraMode::off, std::nullopt, std::nullopt}},
      {"still image (1600x1200 BMP)", {CameraMode::image, imageId, std::nullopt}},
      {"black again", {CameraMode::image, std::nullopt, std::nullopt}},
  };
  std::vector<double> cpu;
  for (const Mode& m : modes) {
    rig.writeState(m.state);
    const Measurement r = rig.stream(settle, window);
    cpu.push_back(r.cpuPercent);
    std::printf("%-36s %6.2f %% of a core  (client %s)\n", m.name, r.cpuPercent, r.snapResult.c_str());
  }
  const double blackCpu = (cpu[0] + cpu[3]) / 2;
  if (auto gst = rig.streamGStreamerBlack(settle, window)) {
    std::printf("%-36s %6.2f %% of a core  (client %s)\n", "GStreamer black pipeline", gst->cpuPercent,
                gst->snapResult.c_str());
    std::printf("extension black / GStreamer black = %.3f\n", blackCpu / gst->cpuPercent);
  } else {
    std::printf("GStreamer black pipeline: could not be started\n");
  }
  std::printf("off / black   = %.3f (target <= 1.1)\n", cpu[1] / blackCpu);
  std::printf("still / black = %.3f (target <= 1.1)\n", cpu[2] / blackCpu);
  return 0;
}
