// Cost of the host's heartbeat: system calls and time per touch.
//
// The camera manager touches the heartbeat once a second for as long as the
// app runs. This program counts the system calls one touch makes (under
// strace -c, as the difference between a run with N touches and one with
// none) and times a touch, for the camera manager's touch and, as the
// baseline in the same run, the data folder's plain touchHeartbeat() that
// resolves the folder anew each time.
//
//   tovrelle-bench-heartbeat [touches]      (default 2000)
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/model/Settings.h"
#include "platform/log/Log.h"
#include "shared/DataFolder.h"
#include "tests/fakes/ManualDispatch.h"

using namespace tovrelle;
namespace fs = std::filesystem;

namespace {

// Runs `touches` touches of one kind in a fresh data folder.
int runChild(const std::string& variant, long touches, const fs::path& folder) {
  ::setenv(kDataDirEnv, folder.c_str(), 1);
  Settings settings(QString::fromStdString((folder / "settings.ini").string()));
  log::setSink([](const log::Record&) {});
  test::ManualScheduler scheduler;
  auto mainQueue = scheduler.makeQueue("main");
  if (variant == "model") {
    std::unique_ptr<ImageManager> images;
    CameraManager camera({mainQueue, [&]() -> ImageManager& { return *images; }, &settings});
    // Everything up to here is set-up; the marker separates it in the trace.
    ::getppid();
    scheduler.advance(CameraManager::kHeartbeatInterval * touches);
    ::getppid();
  } else {
    touchHeartbeat();
    ::getppid();
    for (long i = 0; i < touches; ++i) touchHeartbeat();
    ::getppid();
  }
  return 0;
}

// System calls made between the two getppid() markers, or -1.
long syscallsBetweenMarkers(const char* self, const std::string& variant, long touches, const fs::path& folder) {
  const fs::path trace = folder / ("trace-" + variant + "-" + std::to_string(touches));
  pid_t pid = ::fork();
  if (pid == 0) {
    std::string count = std::to_string(touches);
    ::execlp("strace", "strace", "-f", "-qq", "-o", trace.c_str(), self, "--child", variant.c_str(), count.c_str(),
             (folder / ("data-" + variant + "-" + count)).c_str(), nullptr);
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  std::ifstream in(trace);
  long between = 0;
  int markers = 0;
  for (std::string line; std::getline(in, line);) {
    const bool marker = line.find("getppid()") != std::string::npos;
    if (marker) {
      ++markers;
      continue;
    }
    if (markers == 1 && line.find('(') != std::string::npos && line.find("+++") == std::string::npos &&
        line.find("---") == std::string::npos)
      ++between;
  }
  return markers == 2 ? between : -1;
}

double nanosPerTouch(const std::string& variant, long touches, const fs::path& folder) {
  ::setenv(kDataDirEnv, folder.c_str(), 1);
  Settings settings(QString::fromStdString((folder / "settings.ini").string()));
  log::setSink([](const log::Record&) {});
  test::ManualScheduler scheduler;
  auto mainQueue = scheduler.makeQueue("main");
  std::unique_ptr<ImageManager> images;
  std::unique_ptr<CameraManager> camera;
  if (variant == "model")
    camera = std::make_unique<CameraManager>(
        CameraManager::Dependencies{mainQueue, [&]() -> ImageManager& { return *images; }, &settings});
  touchHeartbeat();
  const auto start = std::chrono::steady_clock::now();
  if (variant == "model") {
    scheduler.advance(CameraManager::kHeartbeatInterval * touches);
  } else {
    for (long i = 0; i < touches; ++i) touchHeartbeat();
  }
  const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  log::setSink(nullptr);
  return spent.count() / static_cast<double>(touches);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--child") == 0) return runChild(argv[2], std::atol(argv[3]), argv[4]);
  const long touches = argc > 1 ? std::max(1L, std::atol(argv[1])) : 2000;

  char tmpl[] = "/tmp/tovrelle-bench-heartbeat-XXXXXX";
  const fs::path folder = ::mkdtemp(tmpl);
  std::printf("heartbeat: %ld touches per run\n", touches);

  double perTouch[2] = {0, 0};
  const char* variants[2] = {"model", "shared"};
  for (int v = 0; v < 2; ++v) {
    const long none = syscallsBetweenMarkers(argv[0], variants[v], 0, folder);
    const long many = syscallsBetweenMarkers(argv[0], variants[v], touches, folder);
    if (none < 0 || many < 0) {
      std::printf("heartbeat: %s: cannot count system calls (is strace installed?)\n", variants[v]);
      continue;
    }
    perTouch[v] = static_cast<double>(many - none) / static_cast<double>(touches);
    std::printf("heartbeat: %-6s %.2f system calls per touch\n", variants[v], perTouch[v]);
  }
  const double modelNs = nanosPerTouch("model", touches, folder / "timed-model");
  const double sharedNs = nanosPerTouch("shared", touches, folder / "timed-shared");
  std::printf("heartbeat: model  %.0f ns per touch\n", modelNs);
  std::printf("heartbeat: shared %.0f ns per touch\n", sharedNs);
  if (perTouch[1] > 0) std::printf("heartbeat: system calls model/shared = %.2f\n", perTouch[0] / perTouch[1]);
  std::printf("heartbeat: time model/shared = %.2f\n", modelNs / sharedNs);
  std::printf("heartbeat: target one system call per touch: %s\n",
              perTouch[0] > 0 && perTouch[0] <= 1.0 ? "met" : "not met");
  std::error_code ec;
  fs::remove_all(folder, ec);
  return 0;
}
