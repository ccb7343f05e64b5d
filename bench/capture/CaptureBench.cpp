// Camera passthrough costs, each against a baseline measured in the same run:
//  1. per frame, taking a camera frame (MJPEG decode) and writing it
//     once into a 1280x720 I420 or BGRA client buffer, against a memcpy of one
//     1280x720 BGRA frame (raw formats: target <= 2x; MJPEG 1920x1080: <= 3 ms);
//     a drawn picture's I420 form against the same memcpy (<= 2.5x, made once
//     per picture);
//  2. for test cameras in MJPEG 1920x1080, MJPEG 1280x720, YUY2 1280x720 and
//     NV12 1920x1080, the extension's CPU while a client takes I420 and while
//     one takes BGRA, against a GStreamer pipeline doing the same decode, scale
//     and conversion, running beside it over the same window (targets: MJPEG
//     <= 0.6x, raw <= 0.5x);
//  3. the latency camera -> client through the extension minus reading the
//     camera directly (<= one frame period);
//  4. the host's CPU for the preview of a 1080p MJPEG camera (capture and
//     reduction to 320x180), against GStreamer doing the same.
// Runs its own private PipeWire; needs tovrelle-testcam, tovrelle-snap and
// tovrelle-camera-extension next to it (or in TOVRELLE_BIN_DIR).
#include <libyuv/convert_from_argb.h>
#include <sys/resource.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/capture/convert/FrameConverter.h"
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

constexpr auto kSettle = 2s;
constexpr auto kMeasure = 8s;

double medianOf(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename Fn>
double timeMs(Fn fn) {
  auto t0 = Clock::now();
  fn();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

const char* pass(bool ok) { return ok ? "PASS" : "FAIL"; }

struct Camera {
  const char* format;  // as tovrelle-testcam names it
  frames::PixelFormat pixelFormat;
  int width, height;
  bool compressed() const { return pixelFormat == frames::PixelFormat::mjpeg; }
  std::string size() const { return std::to_string(width) + "x" + std::to_string(height); }
  std::string name() const { return std::string(format) + " " + size(); }
};

const Camera kCameras[] = {
    {"MJPEG", frames::PixelFormat::mjpeg, 1920, 1080},
    {"MJPEG", frames::PixelFormat::mjpeg, 1280, 720},
    {"YUY2", frames::PixelFormat::yuy2, 1280, 720},
    {"NV12", frames::PixelFormat::nv12, 1920, 1080},
};

const frames::PixelFormat kClients[] = {frames::PixelFormat::i420, frames::PixelFormat::bgra};

// The pattern as the camera sends it: one block (JPEG 4:2:2, as webcams send).
std::vector<uint8_t> cameraBytes(const Camera& c, int* stride) {
  const int w = c.width, h = c.height;
  std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
  tp::drawPattern(bgra.data(), w, h, w * 4);
  std::vector<uint8_t> out;
  *stride = 0;
  switch (c.pixelFormat) {
    case frames::PixelFormat::yuy2:
      out.resize(static_cast<size_t>(w) * h * 2);
      *stride = w * 2;
      libyuv::ARGBToYUY2(bgra.data(), w * 4, out.data(), w * 2, w, h);
      break;
    case frames::PixelFormat::nv12:
      out.resize(static_cast<size_t>(w) * h * 3 / 2);
      *stride = w;
      libyuv::ARGBToNV12(bgra.data(), w * 4, out.data(), w, out.data() + static_cast<size_t>(w) * h, w, w, h);
      break;
    default: {
      tjhandle t = tjInitCompress();
      unsigned char* jpeg = nullptr;
      unsigned long size = 0;
      tjCompress2(t, bgra.data(), w, w * 4, h, TJPF_BGRX, &jpeg, &size, TJSAMP_422, 85, 0);
      out.assign(jpeg, jpeg + size);
      tjFree(jpeg);
      tjDestroy(t);
    }
  }
  return out;
}

// ---- 1. per frame ----

bool perFrameBench() {
  std::printf("== per frame: camera frame taken and written once into the client's buffer (median) ==\n");
  auto target = frames::makeFrameBuffer(frames::kFrameWidth, frames::kFrameHeight);
  auto source = frames::makeFrameBuffer(frames::kFrameWidth, frames::kFrameHeight);
  tp::drawPattern(source->data(), source->width(), source->height(), source->bytesPerRow());
  const size_t frameBytes = source->byteCount();
  std::vector<double> copies;
  auto memcpyOnce = [&] { copies.push_back(timeMs([&] { std::memcpy(target->data(), source->data(), frameBytes); })); };
  for (int i = 0; i < 50; ++i) memcpyOnce();

  std::vector<uint8_t> client(frames::packedLayout(frames::PixelFormat::bgra, 1280, 720).size);
  bool ok = true;
  struct Row {
    std::string label;
    double ms;
    const Camera* camera;
  };
  std::vector<Row> rows;
  for (const auto& cam : kCameras) {
    int stride = 0;
    auto bytes = cameraBytes(cam, &stride);
    auto converter = capture::FrameConverter::create({cam.pixelFormat, cam.width, cam.height, 30, 1});
    capture::RawFrame raw;
    raw.data[0] = bytes.data();
    raw.size[0] = bytes.size();
    raw.stride[0] = stride;
    raw.planes = 1;
    for (const auto& cl : kClients) {
      frames::FrameWriter writer;
      std::vector<double> t;
      for (int i = 0; i < 8; ++i) writer.write(converter->convert(raw), cl, 1280, 720, client.data());
      for (int i = 0; i < (cam.compressed() ? 40 : 100); ++i) {
        t.push_back(timeMs([&] { writer.write(converter->convert(raw), cl, 1280, 720, client.data()); }));
        memcpyOnce();  // interleaved, so both see the same machine
      }
      rows.push_back({cam.name() + " -> " + frames::pixelFormatName(cl) + " 1280x720", medianOf(t), &cam});
    }
  }
  // A drawn picture: its I420 form is made once per picture.
  frames::VideoFrame drawn(source);
  drawn.picture.reset();  // measure the conversion itself, not the kept copy
  std::vector<double> drawnMs;
  for (int i = 0; i < 100; ++i) {
    drawnMs.push_back(
        timeMs([&] { frames::FrameWriter().write(drawn, frames::PixelFormat::i420, 1280, 720, client.data()); }));
    memcpyOnce();
  }
  const double copy = medianOf(copies);
  std::printf("memcpy of one 1280x720 BGRA frame (baseline)    %7.3f ms\n", copy);
  for (const auto& r : rows) {
    const double ratio = r.ms / copy;
    if (r.camera->compressed() && r.camera->width == 1920) {
      const bool met = r.ms <= 3.0;
      ok = ok && met;
      std::printf("%-44s %7.3f ms  %5.2fx memcpy  (target <= 3 ms) %s\n", r.label.c_str(), r.ms, ratio, pass(met));
    } else if (r.camera->compressed()) {
      std::printf("%-44s %7.3f ms  %5.2fx memcpy\n", r.label.c_str(), r.ms, ratio);
    } else {
      const bool met = ratio <= 2.0;
      ok = ok && met;
      std::printf("%-44s %7.3f ms  %5.2fx memcpy  (target <= 2x) %s\n", r.label.c_str(), r.ms, ratio, pass(met));
    }
  }
  const double drawnRatio = medianOf(drawnMs) / copy;
  std::printf("%-44s %7.3f ms  %5.2fx memcpy  (target <= 2.5x, once per picture) %s\n",
              "drawn BGRA picture -> I420 1280x720", medianOf(drawnMs), drawnRatio, pass(drawnRatio <= 2.5));
  return ok && drawnRatio <= 2.5;
}

// ---- 2.-4. live ----

// CPU seconds a process's threads have run so far (nanosecond counts, so
// short windows of a light process still measure).
double cpuSeconds(pid_t pid) {
  std::error_code ec;
  double total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (in >> ns) total += static_cast<double>(ns) / 1e9;
  }
  return total;
}

// Percent of a core each of `pids` uses over one measuring window, after
// settling. Measured side by side, so a busy moment of the machine weighs on
// both alike.
std::vector<double> cpuPercents(const std::vector<pid_t>& pids) {
  std::this_thread::sleep_for(kSettle);
  std::vector<double> start;
  for (pid_t p : pids) start.push_back(cpuSeconds(p));
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(kMeasure);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<double> out;
  for (size_t i = 0; i < pids.size(); ++i) out.push_back((cpuSeconds(pids[i]) - start[i]) / seconds * 100.0);
  return out;
}

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A capture session on one node, reducing or decoding each frame as told.
class Probe {
 public:
  Probe(capture::CaptureDevices& devices, const std::string& id, std::function<void(const frames::VideoFrame&)> onFrame)
      : queue_(dispatch::makeSerialQueue("ossel.tovrelle.bench.probe")), onFrame_(std::move(onFrame)) {
    auto info = devices.deviceWithUniqueId(id);
    if (!info) return;
    auto input = devices.makeInput(*info);
    if (!input.input) {
      std::printf("cannot open %s: %s\n", id.c_str(), input.error.c_str());
      return;
    }
    session_ = devices.makeSession();
    session_->setPreset(1280, 720);
    session_->addInput(input.input);
    auto output = std::make_shared<capture::VideoOutput>();
    output->callbackQueue = queue_;
    output->onFrame = [this](const capture::CapturedFrame& s) {
      if (s.image) onFrame_(s.image);
    };
    session_->addOutput(output);
    session_->startRunning();
  }
  ~Probe() {
    if (session_) session_->stopRunning();
  }
  bool running() const { return session_ && session_->isRunning(); }

 private:
  std::shared_ptr<dispatch::Queue> queue_;
  std::function<void(const frames::VideoFrame&)> onFrame_;
  std::unique_ptr<capture::CaptureSession> session_;
};

// Latency of each frame from the test camera's stamp to its arrival here.
class LatencyProbe {
 public:
  LatencyProbe(capture::CaptureDevices& devices, const std::string& id)
      : probe_(devices, id, [this](const frames::VideoFrame& f) { onFrame(f); }) {}
  void record(bool on) { recording_ = on; }
  double medianMs() const {
    std::lock_guard lock(mutex_);
    return medianOf(latenciesMs_);
  }
  size_t count() const {
    std::lock_guard lock(mutex_);
    return latenciesMs_.size();
  }

 private:
  void onFrame(const frames::VideoFrame& f) {
    const uint32_t now = tp::stampNow();
    if (!recording_) return;
    writer_.write(f, frames::PixelFormat::bgra, 1280, 720, bgra_.data());
    auto d = tp::decode(bgra_.data(), 1280, 720, 1280 * 4);
    std::lock_guard lock(mutex_);
    if (d) latenciesMs_.push_back(tp::microsBetween(d->stampMicros, now) / 1000.0);
  }
  frames::FrameWriter writer_;
  std::vector<uint8_t> bgra_ = std::vector<uint8_t>(1280 * 720 * 4);
  std::atomic<bool> recording_{false};
  mutable std::mutex mutex_;
  std::vector<double> latenciesMs_;
  Probe probe_;
};

struct Heartbeat {
  std::atomic<bool> beating{true};
  std::thread thread{[this] {
    while (beating) {
      touchHeartbeat();
      std::this_thread::sleep_for(500ms);
    }
  }};
  ~Heartbeat() {
    beating = false;
    thread.join();
  }
};

std::unique_ptr<test::Process> startCamera(const test::PrivateSession& session, const Camera& c) {
  auto cam = session.spawn({(test::binaryDir() / "tovrelle-testcam").string(), "--name", "Bench Cam", "--node-name",
                            "bench-cam", "--format", c.format, "--size", c.size(), "--fps", "30"});
  cam->waitForLog("ready as", 10s);
  return cam;
}

// GStreamer doing the same work: read the camera, decode, scale, convert.
std::unique_ptr<test::Process> startGStreamer(const test::PrivateSession& session, const Camera& c,
                                              const std::string& client, int width, int height) {
  std::vector<std::string> argv{"gst-launch-1.0", "-q", "pipewiresrc", "target-object=bench-cam", "!"};
  if (c.compressed()) argv.insert(argv.end(), {"image/jpeg", "!", "jpegdec", "!"});
  argv.insert(argv.end(),
              {"videoconvert", "!", "videoscale", "!",
               "video/x-raw,format=" + client + ",width=" + std::to_string(width) + ",height=" + std::to_string(height),
               "!", "fakesink", "sync=false"});
  return session.spawn(argv);
}

bool liveBench(const Camera& c) {
  std::printf("\n== %s test camera at 30 fps: CPU over %llds per client ==\n", c.name().c_str(),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kMeasure).count()));
  test::PrivateSession session;
  auto cam = startCamera(session, c);

  auto data = session.makeFolder("data");
  ::setenv("TOVRELLE_DATA_DIR", data.c_str(), 1);
  CameraState state;
  state.mode = CameraMode::camera;
  state.selectedCameraId = "bench-cam";
  if (auto written = writeFileAtomically(stateFilePath(), encodeCameraState(state)); !written) {
    std::printf("error=cannot write the state: %s\n", written.error().c_str());
    return false;
  }
  Heartbeat heartbeat;
  auto devices = capture::makePipeWireCaptureDevices();
  auto extension = session.spawn({(test::binaryDir() / "tovrelle-camera-extension").string()},
                                 {{"TOVRELLE_DATA_DIR", data.string()}});
  if (!waitFor([&] { return devices->deviceWithUniqueId("Tovrelle") && devices->deviceWithUniqueId("bench-cam"); },
               15s)) {
    std::printf("the camera nodes did not appear; extension log:\n%s\n", extension->log().c_str());
    return false;
  }
  // Each client beside a GStreamer pipeline doing its work, over one window.
  double ext[2] = {0, 0}, gst[2] = {0, 0};
  // An I420 client (a browser's usual choice).
  {
    auto snap = session.spawn(
        {(test::binaryDir() / "tovrelle-snap").string(), "--format", "I420", "--frames", "100000", "--timeout", "30"});
    auto pipeline = startGStreamer(session, c, "I420", 1280, 720);
    extension->waitForLog("capturing \"Bench Cam\"", 10s, 1);
    const auto cpu = cpuPercents({extension->pid(), pipeline->pid()});
    ext[0] = cpu[0];
    gst[0] = cpu[1];
    snap->stop();
  }
  // A BGRA client that also reads the stamps for the latency.
  const double period = 1000.0 / 30.0;
  double added = 0;
  size_t stamped = 0;
  {
    extension->waitForLog("stopAllSources", 10s, 1);
    LatencyProbe direct(*devices, "bench-cam");
    LatencyProbe viaExtension(*devices, "Tovrelle");
    auto pipeline = startGStreamer(session, c, "BGRA", 1280, 720);
    extension->waitForLog("capturing \"Bench Cam\"", 10s, 2);
    direct.record(true);
    viaExtension.record(true);
    const auto cpu = cpuPercents({extension->pid(), pipeline->pid()});
    ext[1] = cpu[0];
    gst[1] = cpu[1];
    direct.record(false);
    viaExtension.record(false);
    added = viaExtension.medianMs() - direct.medianMs();
    stamped = std::min(direct.count(), viaExtension.count());
  }
  bool ok = true;
  const double target = c.compressed() ? 0.6 : 0.5;
  for (int i = 0; i < 2; ++i) {
    const double ratio = gst[i] > 0 ? ext[i] / gst[i] : 0;
    const bool met = gst[i] > 0.5 && ext[i] > 0 && ratio <= target;
    ok = ok && met;
    std::printf("client %s: extension %5.1f %% of a core, GStreamer %5.1f %%, ratio %.2f (target <= %.1f) %s\n",
                frames::pixelFormatName(kClients[i]), ext[i], gst[i], ratio, target, pass(met));
  }
  const bool latencyOk = stamped > 0 && added <= period;
  ok = ok && latencyOk;
  std::printf("latency added by the extension: %.1f ms (median of %zu stamps; target <= %.1f ms) %s\n", added, stamped,
              period, pass(latencyOk));
  return ok;
}

// The host's preview: capture plus a reduction to 320x180 per frame.
bool previewBench() {
  const Camera c = kCameras[0];
  std::printf("\n== host preview of a %s camera (capture + 320x180) ==\n", c.name().c_str());
  test::PrivateSession session;
  auto cam = startCamera(session, c);
  auto devices = capture::makePipeWireCaptureDevices();
  if (!waitFor([&] { return devices->deviceWithUniqueId("bench-cam").has_value(); }, 10s)) return false;
  std::vector<uint8_t> canvas(320 * 180 * 4);
  frames::FrameWriter writer;
  std::atomic<int> frames{0};
  double host = 0, gst = 0;
  {
    Probe preview(*devices, "bench-cam", [&](const frames::VideoFrame& f) {
      writer.write(f, frames::PixelFormat::bgra, 320, 180, canvas.data());
      ++frames;
    });
    auto pipeline = startGStreamer(session, c, "BGRx", 320, 180);
    const auto cpu = cpuPercents({getpid(), pipeline->pid()});
    host = cpu[0];
    gst = cpu[1];
  }
  const double ratio = gst > 0 ? host / gst : 0;
  std::printf("host preview %5.1f %% of a core (%d frames), GStreamer %5.1f %%, ratio %.2f\n", host, frames.load(), gst,
              ratio);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool perFrameOnly = argc > 1 && std::strcmp(argv[1], "--per-frame-only") == 0;
  // --live "MJPEG 1920x1080" ...: only these cameras' live part, no preview.
  std::vector<std::string> only;
  if (argc > 1 && std::strcmp(argv[1], "--live") == 0) only.assign(argv + 2, argv + argc);
  log::setSink([](const log::Record& r) {  // keep the tables readable
    if (r.level == log::Level::Error) std::printf("  (log) %s\n", r.message.c_str());
  });
  bool ok = only.empty() ? perFrameBench() : true;
  if (!perFrameOnly) {
    for (const auto& c : kCameras)
      if (only.empty() || std::find(only.begin(), only.end(), c.name()) != only.end()) ok = liveBench(c) && ok;
    if (only.empty()) ok = previewBench() && ok;
  }
  log::setSink(nullptr);
  std::printf("\n%s\n", ok ? "all targets met" : "some targets missed");
  return 0;
}
