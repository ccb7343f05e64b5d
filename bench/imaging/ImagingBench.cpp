// imaging_bench: what a long animation costs the extension, and how closely
// a played animation keeps its delays.
//
//  1. Load time and peak memory of 640x480 GIFs of 138 frames (the most that
//     is rendered whole), 200 frames and 5000 frames (both decoded ahead into
//     the ring), each in a child process of its own, against what rendering
//     every frame up front would take.
//  2. 1000 frames of a 640x480 animation played by the frame timer's rule
//     (30 firings a second, a frame moves on at the first firing at least
//     its delay after it came): each frame's time on show against its delay
//     and against the ideal firing-grid time, and the firings whose frame
//     was not decoded yet.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "extension/ImageSource.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/frames/FrameBuffer.h"
#include "tests/imaging/ImageFixtures.h"
#include "tests/imaging/ImagingTestSupport.h"

using namespace tovrelle;
using namespace tovrelle::test::fixtures;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 640, kHeight = 480;

// Moving diagonal bands over a 256-colour ramp, plus a square that travels:
// every frame differs everywhere, as in a real clip.
std::vector<uint8_t> bandsFrame(int frame) {
  std::vector<uint8_t> px(static_cast<size_t>(kWidth) * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x)
      px[static_cast<size_t>(y) * kWidth + x] = static_cast<uint8_t>(((x + 3 * frame) / 16 + y / 16) & 255);
  }
  const int sx = (frame * 7) % (kWidth - 64), sy = (frame * 5) % (kHeight - 64);
  for (int y = sy; y < sy + 64; ++y) std::memset(&px[static_cast<size_t>(y) * kWidth + sx], 255, 64);
  return px;
}

std::vector<Rgb> rampPalette() {
  std::vector<Rgb> palette;
  for (int i = 0; i < 256; ++i) palette.push_back((static_cast<Rgb>(i) << 16) | (static_cast<Rgb>(255 - i) << 8) | 128);
  return palette;
}

// Writes a GIF of `count` frames frame by frame, so even 5000 frames never
// sit in memory at once.
void writeLongGif(const std::filesystem::path& path, int count, int delayCs) {
  Gif header{kWidth, kHeight, rampPalette(), 0, true, {}};
  header.frames.push_back({0, 0, kWidth, kHeight, bandsFrame(0), delayCs, 0, -1, {}});
  std::vector<uint8_t> first = encodeGif(header);
  first.pop_back();  // the trailer comes at the very end
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(first.data()), static_cast<std::streamsize>(first.size()));
  // Each further frame: encode a one-frame GIF and keep only its frame blocks.
  Gif single{kWidth, kHeight, rampPalette(), 0, false, {}};
  const size_t headerBytes = 13 + 256 * 3;
  for (int i = 1; i < count; ++i) {
    single.frames = {{0, 0, kWidth, kHeight, bandsFrame(i), delayCs, 0, -1, {}}};
    const std::vector<uint8_t> bytes = encodeGif(single);
    out.write(reinterpret_cast<const char*>(bytes.data() + headerBytes),
              static_cast<std::streamsize>(bytes.size() - headerBytes - 1));
  }
  out.put(0x3b);
}

long peakResidentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct LoadResult {
  double loadMs = -1;
  long peakKb = -1;
  size_t frames = 0;
  bool decodedAhead = false;
};

// Loads and plays the first 60 frames in a child process, which reports its
// load time and its peak resident memory.
LoadResult measureInChild(const std::filesystem::path& file, bool loadAtAll) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    LoadResult r;
    if (loadAtAll) {
      const auto start = Clock::now();
      auto animation = extension::loadAnimatedImage(file);
      r.loadMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      if (animation) {
        r.frames = animation->frameCount();
        r.decodedAhead = r.frames > extension::prerenderedFrameLimit();
        for (size_t i = 0; i < 60; ++i) {
          animation->frame(i % r.frames);
          std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
      }
    }
    r.peakKb = peakResidentKb();
    if (write(fds[1], &r, sizeof r) != sizeof r) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  LoadResult r;
  if (read(fds[0], &r, sizeof r) != sizeof r) r = {};
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return r;
}

void loadAndMemory(const std::filesystem::path& folder) {
  std::printf("== load time and peak memory (640x480 GIFs; each in its own process)\n");
  const LoadResult baseline = measureInChild({}, false);
  std::printf("baseline process peak: %.1f MB\n", baseline.peakKb / 1024.0);
  const double frameMb = static_cast<double>(frames::FrameBuffer::strideFor(1280)) * 720 / (1024 * 1024);
  for (int count : {static_cast<int>(extension::prerenderedFrameLimit()), 200, 5000}) {
    const auto file = folder / ("bands-" + std::to_string(count) + ".gif");
    const auto encodeStart = Clock::now();
    writeLongGif(file, count, 4);
    const double encodeS = std::chrono::duration<double>(Clock::now() - encodeStart).count();
    const LoadResult r = measureInChild(file, true);
    const double peakMb = (r.peakKb - baseline.peakKb) / 1024.0;
    const double wholeMb = count * frameMb;
    std::printf(
        "%5d frames (%6.1f MB file, written in %.1f s): %s, load %8.1f ms, peak +%7.1f MB; rendered whole "
        "%8.1f MB (peak/whole %.3f)\n",
        count, std::filesystem::file_size(file) / (1024.0 * 1024.0), encodeS,
        r.frames == 0    ? "FAILED"
        : r.decodedAhead ? "decoded ahead"
                         : "rendered whole",
        r.loadMs, peakMb, wholeMb, peakMb / wholeMb);
    std::filesystem::remove(file);
  }
}

void frameTiming(const std::filesystem::path& folder) {
  constexpr int kFrames = 1000;
  constexpr double kPeriod = 1.0 / 30;
  // Delays of one, two and three firings' worth, in turn; a frame shown for
  // its delay rounded up to the next firing is on time.
  const int delaysCs[3] = {3, 5, 9};
  std::printf("\n== frame timing: %d frames of a 640x480 GIF, delays 0.03/0.05/0.09 s in turn, 30 firings/s\n",
              kFrames);
  const auto file = folder / "timing.gif";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    Gif single{kWidth, kHeight, rampPalette(), 0, true, {}};
    for (int i = 0; i < kFrames; ++i) {
      single.frames = {{0, 0, kWidth, kHeight, bandsFrame(i), delaysCs[i % 3], 0, -1, {}}};
      std::vector<uint8_t> bytes = encodeGif(single);
      const size_t skip = i == 0 ? 0 : 13 + 256 * 3 + 19;  // header, palette and loop block once
      bytes.pop_back();
      out.write(reinterpret_cast<const char*>(bytes.data() + skip), static_cast<std::streamsize>(bytes.size() - skip));
    }
    out.put(0x3b);
  }
  auto animation = extension::loadAnimatedImage(file);
  if (!animation || animation->frameCount() != static_cast<size_t>(kFrames)) {
    std::printf("FAILED to load the timing animation\n");
    return;
  }

  // The animation timer's rule on a real serial queue at 1/30 s.
  struct Playback {
    bool started = false;
    size_t index = 0;
    double shownAt = 0;
    std::vector<double> changes;  // host time of each frame's first firing
    int lateFrames = 0;
    const frames::FrameBuffer* last = nullptr;
    std::promise<void> done;
  } p;
  auto queue = dispatch::makeSerialQueue("bench.timer");
  auto timer = queue->schedule(dispatch::Duration::zero(), dispatch::seconds(kPeriod), [&] {
    if (p.changes.size() > static_cast<size_t>(kFrames)) return;
    const double now = frames::hostTimeSeconds();
    bool changed = false;
    if (!p.started) {
      p.started = changed = true;
      p.shownAt = now;
      p.changes.push_back(now);
    } else if (now - p.shownAt >= animation->delay(p.index)) {
      p.index = (p.index + 1) % animation->frameCount();
      p.shownAt = now;
      p.changes.push_back(now);
      changed = true;
      if (p.changes.size() > static_cast<size_t>(kFrames)) {
        p.done.set_value();
        return;
      }
    }
    // A frame not decoded yet comes back as the buffer already on show.
    auto frame = animation->frame(p.index);
    if (changed && frame.get() == p.last) ++p.lateFrames;
    p.last = frame.get();
  });
  p.done.get_future().wait();
  timer->cancel();
  queue->sync([] {});

  std::vector<double> error, gridError;
  for (int i = 0; i < kFrames; ++i) {
    const double shown = p.changes[static_cast<size_t>(i) + 1] - p.changes[static_cast<size_t>(i)];
    const double delay = delaysCs[i % 3] / 100.0;
    error.push_back(shown - delay);
    gridError.push_back(shown - std::ceil(delay / kPeriod - 1e-9) * kPeriod);
  }
  auto stats = [](std::vector<double> v, const char* what) {
    double sum = 0, abssum = 0;
    for (double e : v) {
      sum += e;
      abssum += std::fabs(e);
    }
    std::sort(v.begin(), v.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
    const double p99 = std::fabs(v[static_cast<size_t>(0.99 * static_cast<double>(v.size() - 1))]);
    std::printf("%s: mean %+.2f ms, mean |e| %.2f ms, p99 |e| %.2f ms, max |e| %.2f ms (%.2f firing periods)\n", what,
                1000 * sum / static_cast<double>(v.size()), 1000 * abssum / static_cast<double>(v.size()), 1000 * p99,
                1000 * std::fabs(v.back()), std::fabs(v.back()) * 30);
  };
  stats(error, "time on show - delay       ");
  stats(gridError, "time on show - firing grid ");
  const double nominal = (kFrames / 3) * (0.03 + 0.05 + 0.09) + 0.03;
  std::printf("1000 frames took %.3f s; delays add up to %.3f s (ratio %.3f); frames not decoded in time: %d\n",
              p.changes.back() - p.changes.front(), nominal, (p.changes.back() - p.changes.front()) / nominal,
              p.lateFrames);
  animation.reset();
  std::filesystem::remove(file);
}

}  // namespace

int main() {
  test::quietFfmpeg();
  test::ScratchFolder folder;
  loadAndMemory(folder.path());
  frameTiming(folder.path());
  return 0;
}
