// Extension benchmark. Prints key=value lines with ratios against baselines
// measured in the same run:
//  1. per-frame cost of converting one 1280x720 BGRA frame to I420 (and NV12,
//     YUY2) next to a bare memcpy of that frame;
//  2. over the same 10 s, CPU time of the extension streaming to a client
//     next to a GStreamer pipeline publishing black 1280x720 BGRA at 30/1 to
//     PipeWire (videotestsrc ! pipewiresink) with its own client; and the
//     spread of the extension's frame intervals, from the frames' stamps.
// Runs its own private bus, PipeWire and WirePlumber.
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/frames/VideoFrame.h"
#include "tests/support/Services.h"

using namespace tovrelle;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double medianMs(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename Fn>
double perFrameMs(Fn fn, int rounds) {
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    auto t0 = Clock::now();
    fn();
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  return medianMs(samples);
}

void conversionCosts() {
  auto frame = frames::makeFrameBuffer(1280, 720);
  for (int y = 0; y < 720; ++y)
    for (int x = 0; x < 1280; ++x) {
      uint8_t* p = frame->row(y) + 4 * x;
      p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(y), p[2] = static_cast<uint8_t>(x + y), p[3] = 255;
    }
  std::vector<uint8_t> out(frame->byteCount());
  const int rounds = 300;
  // Warm caches and pages first.
  std::memcpy(out.data(), frame->data(), frame->byteCount());
  // A drawn picture is converted once per picture; measure the conversion itself.
  frames::VideoFrame drawn(frame);
  drawn.picture.reset();
  frames::FrameWriter writer;
  writer.write(drawn, frames::PixelFormat::i420, 1280, 720, out.data());

  const double copy = perFrameMs([&] { std::memcpy(out.data(), frame->data(), frame->byteCount()); }, rounds);
  std::printf("memcpy_bgra_ms_per_frame=%.3f\n", copy);
  for (auto f : {frames::PixelFormat::i420, frames::PixelFormat::nv12, frames::PixelFormat::yuy2}) {
    const double ms = perFrameMs([&] { writer.write(drawn, f, 1280, 720, out.data()); }, rounds);
    std::printf("%s_convert_ms_per_frame=%.3f\n%s_to_memcpy_ratio=%.2f\n", frames::pixelFormatName(f), ms,
                frames::pixelFormatName(f), ms / copy);
  }
  std::fflush(stdout);
}

// CPU time of all threads of a process so far, in seconds (ns resolution).
double cpuSeconds(pid_t pid) {
  namespace fs = std::filesystem;
  double total = 0;
  std::error_code ec;
  for (auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long onCpuNs = 0;
    if (in >> onCpuNs) total += static_cast<double>(onCpuNs) / 1e9;
  }
  return total;
}

int streamingCosts(double seconds) {
  test::PrivateSession session;
  const auto data = session.makeFolder("data");
  const auto bin = test::binaryDir();
  auto extension = session.spawn({(bin / "tovrelle-camera-extension").string()}, {{"TOVRELLE_DATA_DIR", data.string()}},
                                 "extension");
  if (!extension->waitForLog("published \"Tovrelle\" on PipeWire", 15s)) {
    std::printf("error=the extension did not publish\n");
    return 1;
  }
  auto gst = session.spawn(
      {"gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "pattern=black", "!",
       "video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1", "!", "pipewiresink", "mode=provide",
       "stream-properties=props,media.class=Video/Source,node.name=bench-gst,media.role=Camera"},
      {}, "gst-producer");
  std::this_thread::sleep_for(1500ms);

  const int frames = static_cast<int>(seconds * 30) + 30;
  const std::string timeout = std::to_string(static_cast<int>(seconds) + 20);
  auto extClient = session.spawn(
      {(bin / "tovrelle-snap").string(), "--skip", "15", "--frames", std::to_string(frames), "--timeout", timeout}, {},
      "client-extension");
  auto gstClient = session.spawn({(bin / "tovrelle-snap").string(), "--target", "bench-gst", "--skip", "15", "--frames",
                                  std::to_string(frames), "--timeout", timeout},
                                 {}, "client-gst");
  // Both streams are up and past their start-up once the clients skipped.
  std::this_thread::sleep_for(1500ms);

  const double ext0 = cpuSeconds(extension->pid()), gst0 = cpuSeconds(gst->pid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double ext1 = cpuSeconds(extension->pid()), gst1 = cpuSeconds(gst->pid());
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();

  extClient->wait(std::chrono::seconds(static_cast<int>(seconds) + 30));
  gstClient->wait(std::chrono::seconds(static_cast<int>(seconds) + 30));
  auto ext = bench::keyValues(extClient->log());
  auto ref = bench::keyValues(gstClient->log());
  gst->stop();
  extension->stop();

  const double extCpu = ext1 - ext0, gstCpu = gst1 - gst0;
  std::printf("window_s=%.2f\n", wall);
  std::printf("extension_cpu_s=%.3f\ngst_pipeline_cpu_s=%.3f\n", extCpu, gstCpu);
  std::printf("extension_to_gst_cpu_ratio=%.3f (target <= 0.333)\n", gstCpu > 0 ? extCpu / gstCpu : -1.0);
  std::printf("extension_client=%s frames=%s format=%s fps=%s\n", ext["result"].c_str(), ext["frames"].c_str(),
              ext["format"].c_str(), ext["fps"].c_str());
  std::printf("extension_interval_median_ms=%s\nextension_interval_p99_dev_ms=%s (target <= 2)\n",
              ext["interval_median_ms"].c_str(), ext["interval_p99_dev_ms"].c_str());
  std::printf("extension_interval_min_ms=%s\nextension_interval_max_ms=%s\n", ext["interval_min_ms"].c_str(),
              ext["interval_max_ms"].c_str());
  // pipewiresink sends no header with a time stamp, so its pace cannot be judged the same way.
  std::printf("gst_client_frames=%s\n", ref["frames"].c_str());
  return ext["result"] == "ok" ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10.0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "Usage: %s [--seconds S]\n", argv[0]);
      return 2;
    }
  }
  conversionCosts();
  return streamingCosts(seconds);
}
