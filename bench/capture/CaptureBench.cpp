// Camera passthrough costs, each against a baseline measured in the same run:
//  1. per-frame cost of the BGRx 1280x720 conversion vs a bare memcpy of one
//     frame (target <= 1.5x), with the other formats' costs for reference;
//  2. the extension's CPU over 10 s while it forwards a test camera vs a
//     GStreamer forward of the same camera over 10 s (target <= 1/2);
//  3. the latency a client sees through the extension, minus the latency of
//     reading the test camera directly (target <= one frame period).
// Runs its own private PipeWire; needs tovrelle-testcam and
// tovrelle-camera-extension next to it (or in TOVRELLE_BIN_DIR).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "platform/capture/convert/FrameConverter.h"
#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "platform/dispatch/Dispatch.h"
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

// The pattern at width x height, as the test camera would send it in `format`.
std::vector<uint8_t> cameraFrame(capture::PixelFormat format, int w, int h, int* stride) {
  std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
  tp::drawPattern(bgra.data(), w, h, w * 4);
  *stride = w * 4;
  if (format == capture::PixelFormat::bgrx) return bgra;
  const uint8_t* src[4] = {bgra.data(), nullptr, nullptr, nullptr};
  int srcStride[4] = {w * 4, 0, 0, 0};
  if (format == capture::PixelFormat::yuy2 || format == capture::PixelFormat::nv12) {
    bool yuy2 = format == capture::PixelFormat::yuy2;
    std::vector<uint8_t> out(yuy2 ? static_cast<size_t>(w) * h * 2 : static_cast<size_t>(w) * h * 3 / 2);
    uint8_t* dst[4] = {out.data(), yuy2 ? nullptr : out.data() + static_cast<size_t>(w) * h, nullptr, nullptr};
    int dstStride[4] = {yuy2 ? w * 2 : w, yuy2 ? 0 : w, 0, 0};
    SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, yuy2 ? AV_PIX_FMT_YUYV422 : AV_PIX_FMT_NV12,
                                     SWS_POINT, nullptr, nullptr, nullptr);
    sws_scale(sws, src, srcStride, 0, h, dst, dstStride);
    sws_freeContext(sws);
    *stride = dstStride[0];
    return out;
  }
  // MJPEG
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = w;
  ctx->height = h;
  ctx->pix_fmt = AV_PIX_FMT_YUVJ420P;
  ctx->time_base = AVRational{1, 30};
  ctx->flags |= AV_CODEC_FLAG_QSCALE;
  ctx->global_quality = FF_QP2LAMBDA * 6;
  avcodec_open2(ctx, codec, nullptr);
  AVFrame* frame = av_frame_alloc();
  frame->format = ctx->pix_fmt;
  frame->width = w;
  frame->height = h;
  av_frame_get_buffer(frame, 0);
  frame->quality = ctx->global_quality;
  SwsContext* sws =
      sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUVJ420P, SWS_POINT, nullptr, nullptr, nullptr);
  sws_scale(sws, src, srcStride, 0, h, frame->data, frame->linesize);
  sws_freeContext(sws);
  AVPacket* packet = av_packet_alloc();
  std::vector<uint8_t> out;
  if (avcodec_send_frame(ctx, frame) >= 0 && avcodec_receive_packet(ctx, packet) >= 0)
    out.assign(packet->data, packet->data + packet->size);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  *stride = 0;
  return out;
}

double conversionMs(capture::PixelFormat format, int w, int h, int rounds) {
  int stride = 0;
  auto bytes = cameraFrame(format, w, h, &stride);
  auto converter = capture::FrameConverter::create({format, w, h, 30, 1});
  if (!converter) return -1;
  capture::RawFrame raw;
  raw.data[0] = bytes.data();
  raw.size[0] = bytes.size();
  raw.stride[0] = stride;
  raw.planes = 1;
  for (int i = 0; i < 5; ++i) converter->convert(raw);
  std::vector<double> t;
  for (int i = 0; i < rounds; ++i) t.push_back(timeMs([&] { converter->convert(raw); }));
  return medianOf(t);
}

bool conversionBench() {
  std::printf("== per-frame conversion (median of interleaved rounds) ==\n");
  const int w = 1280, h = 720;
  int stride = 0;
  auto bgrx = cameraFrame(capture::PixelFormat::bgrx, w, h, &stride);
  auto converter = capture::FrameConverter::create({capture::PixelFormat::bgrx, w, h, 30, 1});
  capture::RawFrame raw;
  raw.data[0] = bgrx.data();
  raw.size[0] = bgrx.size();
  raw.stride[0] = stride;
  raw.planes = 1;
  auto target = frames::makePixelBuffer(w, h);
  const size_t bytes = static_cast<size_t>(w) * h * 4;
  std::vector<double> copy, convert;
  for (int i = 0; i < 10; ++i) {
    std::memcpy(target->data(), bgrx.data(), bytes);
    converter->convert(raw);
  }
  for (int i = 0; i < 400; ++i) {
    copy.push_back(timeMs([&] { std::memcpy(target->data(), bgrx.data(), bytes); }));
    convert.push_back(timeMs([&] { converter->convert(raw); }));
  }
  const double c = medianOf(copy), v = medianOf(convert);
  const double ratio = v / c;
  std::printf("memcpy of one 1280x720 frame      %7.3f ms\n", c);
  std::printf("BGRx 1280x720 -> BGRA 1280x720    %7.3f ms   ratio %.2fx (target <= 1.50x) %s\n", v, ratio,
              ratio <= 1.5 ? "PASS" : "FAIL");
  std::printf("YUY2  640x480  -> BGRA 1280x720   %7.3f ms\n", conversionMs(capture::PixelFormat::yuy2, 640, 480, 60));
  std::printf("YUY2 1280x720  -> BGRA 1280x720   %7.3f ms\n", conversionMs(capture::PixelFormat::yuy2, 1280, 720, 60));
  std::printf("NV12 1920x1080 -> BGRA 1280x720   %7.3f ms\n", conversionMs(capture::PixelFormat::nv12, 1920, 1080, 60));
  std::printf("MJPEG 1920x1080 -> BGRA 1280x720  %7.3f ms\n", conversionMs(capture::PixelFormat::mjpeg, 1920, 1080, 30));
  return ratio <= 1.5;
}

// CPU seconds (user + system) a process has used so far.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A client of one camera node that decodes the test camera's stamp from each frame.
class LatencyProbe {
 public:
  LatencyProbe(capture::CaptureDevices& devices, const std::string& id, const std::string& label)
      : label_(label), queue_(dispatch::makeSerialQueue("ossel.tovrelle.bench." + label)) {
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
    output->onFrame = [this](const capture::SampleBuffer& s) {
      const uint32_t now = tp::stampNow();
      if (!s.image || !recording_) return;
      auto d = tp::decode(s.image->data(), s.image->width(), s.image->height(), s.image->bytesPerRow());
      std::lock_guard lock(mutex_);
      ++frames_;
      if (d) latenciesMs_.push_back(tp::microsBetween(d->stampMicros, now) / 1000.0);
    };
    session_->addOutput(output);
    session_->startRunning();
  }
  ~LatencyProbe() {
    if (session_) session_->stopRunning();
  }
  bool running() const { return session_ && session_->isRunning(); }
  void record(bool on) { recording_ = on; }
  double medianLatencyMs() const {
    std::lock_guard lock(mutex_);
    return medianOf(latenciesMs_);
  }
  size_t frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  size_t decoded() const {
    std::lock_guard lock(mutex_);
    return latenciesMs_.size();
  }
  const std::string& label() const { return label_; }

 private:
  std::string label_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::unique_ptr<capture::CaptureSession> session_;
  std::atomic<bool> recording_{false};
  mutable std::mutex mutex_;
  std::vector<double> latenciesMs_;
  size_t frames_ = 0;
};

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

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

std::unique_ptr<test::Process> startCamera(const test::PrivateSession& session, const std::string& format,
                                           const std::string& size) {
  auto cam = session.spawn({(test::binaryDir() / "tovrelle-testcam").string(), "--name", "Bench Cam", "--node-name",
                            "bench-cam", "--format", format, "--size", size, "--fps", "30"});
  cam->waitForLog("ready as", 10s);
  return cam;
}

// The GStreamer forward's CPU over 10 s, in a PipeWire of its own. Its output
// goes to a fakesink: GStreamer's pipewiresink here either crashes when a
// client links (provide mode) or never starts (render mode), and leaves the
// daemon unusable for later clients, so the baseline leaves out the last hop
// (which only flatters GStreamer).
double gstreamerForwardCpu(const std::string& format, const std::string& size) {
  test::PrivateSession session;
  auto cam = startCamera(session, format, size);
  // 2 s to settle plus the 10 s measured, at 30 frames a second; without
  // clock sync, so late frames are not skipped and every frame is converted.
  std::vector<std::string> forward{"gst-launch-1.0", "-q", "pipewiresrc", "target-object=bench-cam", "num-buffers=360",
                                   "!"};
  if (format == "MJPEG") forward.insert(forward.end(), {"image/jpeg", "!", "jpegdec", "!"});
  forward.insert(forward.end(), {"videoconvert", "!", "videoscale", "!", "video/x-raw,format=BGRA,width=1280,height=720",
                                 "!", "fakesink", "sync=false"});
  const auto start = Clock::now();
  auto gst = session.spawn(forward);
  std::this_thread::sleep_for(2s);
  const double c0 = cpuSeconds(gst->pid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(10s);
  const double cpu = (cpuSeconds(gst->pid()) - c0) / std::chrono::duration<double>(Clock::now() - t0).count() * 100.0;
  // All 360 frames must have come through at the camera's pace.
  const bool finished = gst->wait(4s) == 0;
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  if (!finished) {
    std::printf("  (the GStreamer forward did not receive every frame in %.1f s)\n", took);
    return 0;
  }
  return cpu;
}

// The extension forwarding the camera in camera mode, with one client reading
// "Tovrelle" and another reading the camera directly for the baseline latency.
bool liveBench(const std::string& format, const std::string& size) {
  std::printf("\n== live forward of a %s %s test camera at 30 fps, 10 s each ==\n", format.c_str(), size.c_str());
  log::setSink([](const log::Record& r) {  // keep the table readable
    if (r.level == log::Level::Error) std::printf("  (log) %s\n", r.message.c_str());
  });
  const double gstCpu = gstreamerForwardCpu(format, size);

  test::PrivateSession session;
  auto data = session.makeFolder("data");
  ::setenv("TOVRELLE_DATA_DIR", data.c_str(), 1);
  CameraState state;
  state.mode = CameraMode::camera;
  state.selectedCameraId = "bench-cam";
  writeFileAtomically(stateFileURL(), encodeCameraState(state));
  Heartbeat heartbeat;
  auto cam = startCamera(session, format, size);
  auto devices = capture::makePipeWireCaptureDevices();
  const double period = 1000.0 / 30.0;
  auto extension =
      session.spawn({(test::binaryDir() / "tovrelle-camera-extension").string()}, {{"TOVRELLE_DATA_DIR", data.string()}});
  if (!waitFor([&] { return devices->deviceWithUniqueId("Tovrelle") && devices->deviceWithUniqueId("bench-cam"); },
               15s)) {
    std::printf("the camera nodes did not appear; extension log:\n%s\n", extension->log().c_str());
    log::setSink(nullptr);
    return false;
  }
  double extCpu = 0;
  LatencyProbe direct(*devices, "bench-cam", "direct");
  LatencyProbe viaExtension(*devices, "Tovrelle", "extension");
  // The extension opens the camera once the client's start makes it poll.
  waitFor([&] { return extension->log().find("capturing \"Bench Cam\"") != std::string::npos; }, 10s);
  std::this_thread::sleep_for(1500ms);
  direct.record(true);
  viaExtension.record(true);
  const double c0 = cpuSeconds(extension->pid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(10s);
  extCpu = (cpuSeconds(extension->pid()) - c0) / std::chrono::duration<double>(Clock::now() - t0).count() * 100.0;
  direct.record(false);
  viaExtension.record(false);
  log::setSink(nullptr);

  const double cpuRatio = gstCpu > 0 ? extCpu / gstCpu : 0;
  const double added = viaExtension.medianLatencyMs() - direct.medianLatencyMs();
  const bool cpuOk = cpuRatio <= 0.5 && extCpu > 0 && gstCpu > 1.0;
  const bool latencyOk = added <= period && viaExtension.decoded() > 0 && direct.decoded() > 0;
  std::printf("frames through the extension in 10 s: %zu (%zu with a readable stamp)\n", viaExtension.frames(),
              viaExtension.decoded());
  std::printf("CPU extension (passthrough)  %6.1f %% of a core\n", extCpu);
  std::printf("CPU GStreamer forward        %6.1f %% of a core\n", gstCpu);
  std::printf("ratio                        %6.2f   (target <= 0.50) %s\n", cpuRatio, cpuOk ? "PASS" : "FAIL");
  std::printf("latency camera->client, direct          %6.1f ms (median of %zu)\n", direct.medianLatencyMs(),
              direct.decoded());
  std::printf("latency camera->client, via extension   %6.1f ms (median of %zu)\n", viaExtension.medianLatencyMs(),
              viaExtension.decoded());
  std::printf("added by the extension                  %6.1f ms (target <= %.1f ms, one frame) %s\n", added, period,
              latencyOk ? "PASS" : "FAIL");
  return cpuOk && latencyOk;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  bool onlyConversion = argc > 1 && std::strcmp(argv[1], "--conversion-only") == 0;
  bool ok = conversionBench();
  if (!onlyConversion) {
    ok = liveBench("BGRx", "1280x720") && ok;
    ok = liveBench("YUY2", "1280x720") && ok;
    ok = liveBench("MJPEG", "1280x720") && ok;
  }
  std::printf("\n%s\n", ok ? "all targets met" : "some targets missed");
  return 0;
}
