// Latency from a host-model operation to the first changed frame at a client
// of the virtual camera, over many changes (p50, p99; target p99 <= 0.6 s).
//
// A private PipeWire session runs the extension, the host model harness and a
// streaming client. The operations cycle through turnOff(), selectImage(_:)
// and turnOn(). The baseline, measured in the same run, writes "state.json"
// directly with the shared atomic writer: the ratio shows what the model adds
// on top of the extension's poll.
//
//   tovrelle-bench-model-latency [changes]    (default 50)
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
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

// Waits until the client has shown one picture for a while.
void settle(const EndToEndRig& rig) {
  for (;;) {
    auto before = rig.pictures().size();
    std::this_thread::sleep_for(300ms);
    if (rig.pictures().size() == before) return;
  }
}

std::string lastLines(const std::string& text, int count) {
  size_t at = text.size();
  for (int n = 0; n <= count && at != std::string::npos && at > 0; ++n) at = text.rfind('\n', at - 1);
  return at == std::string::npos ? text : text.substr(at + 1);
}

void report(const char* what, const std::vector<double>& seconds, int missed) {
  std::printf("latency: %-9s n=%zu missed=%d p50=%.3f s p99=%.3f s max=%.3f s\n", what, seconds.size(), missed,
              percentile(seconds, 0.5), percentile(seconds, 0.99),
              seconds.empty() ? 0.0 : *std::max_element(seconds.begin(), seconds.end()));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int changes = argc > 1 ? std::max(3, std::atoi(argv[1])) : 50;
  try {
    EndToEndRig rig;
    rig.startExtension();
    rig.startHostModel();
    rig.startWatch();
    rig.send("add " + rig.makePicture("Red.png", qRgb(220, 60, 40)).string());
    rig.send("on");
    // The first state the extension applied is off; wait until it shows this one.
    if (!rig.extension()->waitForLog("state change mode=camera", 3s)) throw std::runtime_error("turnOn() not applied");
    settle(rig);

    // Every step changes the picture, whether the library image shows or
    // (while images cannot be decoded) falls back to black.
    const char* cycle[4] = {"off", "select 0", "off", "on"};
    std::vector<double> model;
    int modelMissed = 0;
    std::mt19937 random(std::random_device{}());
    // A random pause spreads the operations over the phase of the 0.5 s poll.
    auto pause = [&] { std::this_thread::sleep_for(std::chrono::milliseconds(random() % 500)); };
    for (int i = 0; i < changes; ++i) {
      pause();
      const long long sent = rig.send(cycle[i % 4]);
      if (auto picture = rig.pictureAfter(sent, 3s)) {
        model.push_back(static_cast<double>(picture->t - sent) / 1e9);
      } else {
        ++modelMissed;
        std::printf("latency: no changed frame after \"%s\" (change %d); the extension's last lines:\n%s\n",
                    cycle[i % 4], i, lastLines(rig.extension()->log(), 12).c_str());
        std::printf("latency: the host model's last lines:\n%s\n", lastLines(rig.hostModel()->log(), 8).c_str());
      }
      settle(rig);
    }

    // Baseline: the same three states, written straight to the folder.
    ::setenv(kDataDirEnv, rig.data().c_str(), 1);
    auto images = decodeSavedImages(readFileBounded(imagesFilePath(), kMaxImagesFileBytes).valueOr("[]"));
    if (!images || images->empty()) throw std::runtime_error("the library is empty");
    const CameraState states[4] = {{CameraMode::off, std::nullopt, std::nullopt},
                                   {CameraMode::image, images->front().id, std::nullopt},
                                   {CameraMode::off, std::nullopt, std::nullopt},
                                   {CameraMode::camera, std::nullopt, std::nullopt}};
    std::vector<double> direct;
    int directMissed = 0;
    const int baselineChanges = std::max(3, changes / 2);
    for (int i = 0; i < baselineChanges; ++i) {
      pause();
      if (auto written = writeFileAtomically(stateFilePath(), encodeCameraState(states[i % 4])); !written)
        throw std::runtime_error(written.error());
      const long long sent = monotonicNanos();
      if (auto picture = rig.pictureAfter(sent, 3s)) {
        direct.push_back(static_cast<double>(picture->t - sent) / 1e9);
      } else {
        ++directMissed;
      }
      settle(rig);
    }

    report("model", model, modelMissed);
    report("baseline", direct, directMissed);
    std::printf("latency: p50 model/baseline = %.2f, p99 model/baseline = %.2f\n",
                percentile(model, 0.5) / percentile(direct, 0.5), percentile(model, 0.99) / percentile(direct, 0.99));
    const bool met = modelMissed == 0 && percentile(model, 0.99) <= 0.6;
    std::printf("latency: target p99 <= 0.6 s: %s\n", met ? "met" : "not met");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "latency: %s\n", e.what());
    return 1;
  }
}
