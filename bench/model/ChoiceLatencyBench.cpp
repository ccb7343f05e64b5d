// What a client of the camera waits for, with the extension noticing data
// folder changes as they happen, next to the same extension left to its
// half-second poll (TOVRELLE_POLL_ONLY) in the same run:
//  - choice: from "state.json" written (renamed into place, as the app does)
//    to the first frame a client gets of the new picture, over many changes
//    at random points of the poll and frame periods (target max <= 0.1 s);
//  - quit: from the app asked to quit to the "launch the app" picture
//    (target <= 0.1 s), next to a crash, which only the heartbeat's age tells;
//  - idle: the extension's CPU time while no client streams and the app's
//    heartbeat ticks (target: unchanged).
//
//   tovrelle-bench-choice-latency [--changes N] [--quits N] [--idle SECONDS]
#include <QCoreApplication>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/model/EndToEndRig.h"
#include "shared/CameraState.h"
#include "shared/DataFolder.h"

using namespace tovrelle;
using namespace tovrelle::test;
using namespace std::chrono_literals;

namespace {

using bench::percentile;
double maxOf(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// CPU time of all threads of a process so far, in seconds.
double cpuSeconds(pid_t pid) {
  double total = 0;
  std::error_code ec;
  for (auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long onCpuNs = 0;
    if (in >> onCpuNs) total += static_cast<double>(onCpuNs) / 1e9;
  }
  return total;
}

// Waits until the client has shown one picture for `quiet` (longer than a
// poll where a poll may still bring a change).
void settle(const EndToEndRig& rig, std::chrono::milliseconds quiet = 300ms) {
  for (;;) {
    auto before = rig.pictures().size();
    std::this_thread::sleep_for(quiet);
    if (rig.pictures().size() == before) return;
  }
}

long long writeState(const CameraState& state) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(bench::writeStateAsTheAppDoes(state).time_since_epoch())
      .count();
}

struct Options {
  int changes = 100;
  int quits = 10;
  double idleSeconds = 20;
};

struct Results {
  std::vector<double> choice, quit, crash;
  int missed = 0;
  double idleCpu = 0;
};

Results measure(bool pollOnly, const Options& options, std::mt19937& random) {
  Results r;
  EndToEndRig rig;
  std::map<std::string, std::string> env;
  if (pollOnly) env["TOVRELLE_POLL_ONLY"] = "1";
  rig.startExtension(env);
  rig.startHostModel();

  // No client: the heartbeat ticks, nothing streams.
  std::this_thread::sleep_for(1s);
  const double cpu0 = cpuSeconds(rig.extension()->pid());
  std::this_thread::sleep_for(std::chrono::duration<double>(options.idleSeconds));
  r.idleCpu = cpuSeconds(rig.extension()->pid()) - cpu0;

  rig.startWatch();
  rig.send("add " + rig.makePicture("Red.png", qRgb(220, 60, 40)).string());
  ::setenv(kDataDirEnv, rig.data().c_str(), 1);
  auto images = decodeSavedImages(readFileBounded(imagesFilePath(), kMaxImagesFileBytes).valueOr("[]"));
  if (!images || images->empty()) throw std::runtime_error("the library is empty");
  // Each state shows another picture than the one before: camera off, red, black (no camera).
  const CameraState states[3] = {{CameraMode::off, std::nullopt, std::nullopt},
                                 {CameraMode::image, images->front().id, std::nullopt},
                                 {CameraMode::camera, std::nullopt, std::nullopt}};
  settle(rig);
  // A pause spread over the poll's half second also lands anywhere in a frame period.
  std::uniform_int_distribution<int> pause(0, 499);
  for (int i = 0; i < options.changes; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    const long long written = writeState(states[(i + 1) % 3]);  // the app started off
    if (auto picture = rig.pictureAfter(written, 3s)) {
      r.choice.push_back(static_cast<double>(picture->t - written) / 1e9);
    } else {
      ++r.missed;
    }
    settle(rig);
  }

  auto restartHost = [&] {
    rig.hostModel()->wait(10s);
    rig.startHostModel();
    settle(rig, 700ms);
  };
  for (int i = 0; i < options.quits; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    const long long asked = rig.send("quit");
    if (auto picture = rig.pictureAfter(asked, 6s)) {
      r.quit.push_back(static_cast<double>(picture->t - asked) / 1e9);
    } else {
      ++r.missed;
    }
    restartHost();
  }
  if (!pollOnly) {
    for (int i = 0; i < std::max(2, options.quits / 3); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
      const long long killed = monotonicNanos();
      rig.hostModel()->stop(SIGKILL);
      if (auto picture = rig.pictureAfter(killed, 10s)) {
        r.crash.push_back(static_cast<double>(picture->t - killed) / 1e9);
      } else {
        ++r.missed;
      }
      rig.startHostModel();
      settle(rig, 700ms);
    }
  }
  ::unsetenv(kDataDirEnv);
  return r;
}

void report(const char* what, const std::vector<double>& s) {
  std::printf("%s: n=%zu p50=%.3f s p99=%.3f s max=%.3f s\n", what, s.size(), percentile(s, 0.5), percentile(s, 0.99),
              maxOf(s));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--changes") == 0) options.changes = std::max(3, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--quits") == 0) options.quits = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--idle") == 0) options.idleSeconds = std::max(1.0, std::atof(argv[i + 1]));
  }
  try {
    std::mt19937 random(std::random_device{}());
    const Results notified = measure(false, options, random);
    const Results polled = measure(true, options, random);

    report("choice notified", notified.choice);
    report("choice polled  ", polled.choice);
    std::printf("choice: p50 notified/polled = %.2f, p99 = %.2f, max = %.2f\n",
                percentile(notified.choice, 0.5) / percentile(polled.choice, 0.5),
                percentile(notified.choice, 0.99) / percentile(polled.choice, 0.99),
                maxOf(notified.choice) / maxOf(polled.choice));
    report("quit notified  ", notified.quit);
    report("quit polled    ", polled.quit);
    report("crash (age)    ", notified.crash);
    std::printf("quit: max notified/polled = %.2f, max notified/crash = %.2f\n",
                maxOf(notified.quit) / maxOf(polled.quit), maxOf(notified.quit) / maxOf(notified.crash));
    std::printf("idle: extension cpu over %.0f s without a client: notified %.1f ms, polled %.1f ms\n",
                options.idleSeconds, notified.idleCpu * 1e3, polled.idleCpu * 1e3);
    std::printf("missed changes: notified %d, polled %d\n", notified.missed, polled.missed);
    const bool met = notified.missed == 0 && maxOf(notified.choice) <= 0.1 && maxOf(notified.quit) <= 0.1;
    std::printf("target max <= 0.1 s for choice and quit: %s\n", met ? "met" : "not met");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "choice-latency: %s\n", e.what());
    return 1;
  }
}
