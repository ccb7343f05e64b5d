// tovrelle-camera-extension: publishes the virtual camera "Tovrelle" and
// streams what the host app's data folder asks for. The main thread runs the
// main loop (the poll lives there) until SIGTERM or SIGINT.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "extension/InstalledAppWatch.h"
#include "extension/StreamSource.h"
#include "platform/camera/CameraOutputs.h"
#include "platform/camera/pipewire/CameraNodes.h"
#include "platform/camera/pipewire/PipeWireVirtualCamera.h"
#include "platform/camera/v4l2/LoopbackOutput.h"
#include "platform/camera/v4l2/V4l2LoopbackPort.h"
#include "platform/capture/pipewire/PipeWireCaptureDevices.h"
#include "platform/log/Log.h"
#include "platform/watch/inotify/InotifyFolderWatcher.h"
#include "shared/DataFolder.h"

namespace {

void printUsage(FILE* out) {
  std::fprintf(out,
               "Usage: tovrelle-camera-extension [--help]\n"
               "\n"
               "Publishes the virtual camera \"Tovrelle\" (1280x720, 30 frames per second) on PipeWire and\n"
               "streams what the Tovrelle app selects: the camera-off picture, a library image, a physical\n"
               "camera, or a picture asking to start the app when it is not running. The same frames go to\n"
               "the v4l2loopback device labelled \"Tovrelle\" (/dev/videoN) when there is one, for programs\n"
               "that look for cameras only there.\n"
               "\n"
               "It reads the app's data folder (state.json, images.json, heartbeat, Images/) and never\n"
               "writes it. If PipeWire is not running it keeps trying and publishes once it is.\n"
               "Stop it with SIGTERM or Ctrl-C. If another process already publishes a \"Tovrelle\"\n"
               "camera, it exits at once with status 3.\n"
               "\n"
               "Environment:\n"
               "  TOVRELLE_DATA_DIR   use this data folder instead of the app's own\n"
               "                      ($XDG_DATA_HOME/tovrelle)\n"
               "  TOVRELLE_APP        the installed app's path; the service ends (status 0) once it\n"
               "                      is gone, as after removing the app's package\n"
               "  TOVRELLE_NO_JOURNAL write log lines to stderr only\n"
               "  TOVRELLE_V4L2=0     do not write to the v4l2loopback device\n"
               "  TOVRELLE_POLL_ONLY  notice changes of the data folder by its 0.5 s poll alone\n");
}

// Frames leave at an even pace only if the frame timer wakes on time on a busy
// machine too; ask for a modest realtime priority (granted to root or with an
// rtprio limit) and go on at normal priority otherwise.
void raiseFrameTimerPriority(tovrelle::dispatch::Queue& timerQueue) {
  timerQueue.async([] {
    sched_param param{};
    param.sched_priority = 10;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
      tovrelle::log::processLog("tovrelle-camera-extension: frame timer runs at normal priority");
  });
}

// The PipeWire camera, and beside it the V4L2 device for programs that read
// only /dev/video*; the device's state becomes a property of the PipeWire
// node, where the app's status check reads it.
std::shared_ptr<tovrelle::camera::VirtualCamera> makeOutputs() {
  using namespace tovrelle::camera;
  std::shared_ptr<VirtualCamera> pipewire = makePipeWireVirtualCamera();
  const char* v4l2 = std::getenv("TOVRELLE_V4L2");
  if (v4l2 && std::strcmp(v4l2, "0") == 0) {
    tovrelle::log::processLog("tovrelle-camera-extension: the V4L2 output is off (TOVRELLE_V4L2=0)");
    pipewire->setDeviceProperty(v4l2::kStateProperty, "disabled");
    return pipewire;
  }
  v4l2::LoopbackOptions options;
  options.label = tovrelle::kVirtualCameraName;
  options.onStatus = [weak = std::weak_ptr<VirtualCamera>(pipewire)](v4l2::LoopbackState state,
                                                                     const std::string& node) {
    if (auto camera = weak.lock()) {
      camera->setDeviceProperty(v4l2::kDeviceProperty, node);
      camera->setDeviceProperty(v4l2::kStateProperty, v4l2::loopbackStateName(state));
    }
  };
  auto loopback = std::make_shared<v4l2::LoopbackOutput>(v4l2::makeV4l2LoopbackPort(), std::move(options));
  return std::make_shared<CameraOutputs>(std::vector<std::shared_ptr<VirtualCamera>>{pipewire, loopback});
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tovrelle;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      printUsage(stdout);
      return 0;
    }
    std::fprintf(stderr, "tovrelle-camera-extension: unknown option %s\n\n", argv[i]);
    printUsage(stderr);
    return 2;
  }

  // Without a data folder there is nothing to read what to show from.
  if (const auto data = resolveDataDir(); !data) {
    log::processLog("tovrelle-camera-extension: no data folder (%s); not starting", data.error().c_str());
    return EXIT_FAILURE;
  }

  // Signals go to one waiting thread, never into a queue or PipeWire thread.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  // One "Tovrelle" camera per user: a second one would make apps list two.
  if (auto nodes = camera::findCameraNodes(kVirtualCameraName, std::chrono::seconds(5))) {
    for (const auto& node : *nodes) {
      if (node.pid == ::getpid()) continue;
      log::processLog(
          "tovrelle-camera-extension: the Tovrelle camera is already published by process %d (%s); "
          "not publishing a second one",
          static_cast<int>(node.pid), node.binary.empty() ? "unknown program" : node.binary.c_str());
      return camera::kAnotherCameraExitStatus;
    }
  }

  auto mainQueue = dispatch::MainLoop::create("ossel.tovrelle.main");
  auto camera = makeOutputs();

  auto timerQueue = dispatch::makeSerialQueue(extension::kTimerQueueLabel);
  raiseFrameTimerPriority(*timerQueue);

  // Start and stop requests of the camera's clients arrive on a queue of their own.
  auto clientQueue = dispatch::makeSerialQueue("ossel.tovrelle.client");

  extension::StreamSource::Dependencies deps;
  deps.mainQueue = mainQueue;
  deps.timerQueue = timerQueue;
  deps.clientQueue = clientQueue;
  deps.sink = camera;
  deps.captureDevices = capture::makePipeWireCaptureDevices();
  if (!std::getenv("TOVRELLE_POLL_ONLY")) deps.folderWatcher = watch::makeInotifyFolderWatcher();
  auto source = extension::StreamSource::create(extension::kDeviceName, std::move(deps));
  if (!source) return EXIT_FAILURE;  // "Failed to create stream format" is in the log
  log::processLog("tovrelle-camera-extension: data folder %s", dataDir().c_str());

  // The one camera with its one stream, under fixed names and identifiers.
  camera::DeviceDescription description;
  description.deviceName = extension::kDeviceName;
  description.streamName = source->streamObject()->localizedName;
  description.model = extension::kDeviceModel;
  description.manufacturer = extension::kManufacturer;
  description.deviceId = extension::deviceID().toString();
  description.streamId = source->streamObject()->streamID.toString();
  description.format = source->formats().front();
  camera->publish(description, clientQueue, source->handlers());

  std::thread signalWaiter([&stopSignals, mainQueue] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    log::processLog("tovrelle-camera-extension: stopping on %s", sig == SIGINT ? "SIGINT" : "SIGTERM");
    mainQueue->stop();
  });

  // The app's package removed: our camera goes with it, now rather than at
  // the next login. The signal waiter ends the main loop as for SIGTERM.
  std::unique_ptr<extension::InstalledAppWatch> appWatch;
  if (const char* app = std::getenv(kInstalledAppEnv); app && *app == '/') {
    appWatch = extension::InstalledAppWatch::start(mainQueue, app, [app = std::string(app)] {
      log::processLog("tovrelle-camera-extension: the Tovrelle app is no longer installed (%s is gone); stopping",
                      app.c_str());
      ::kill(::getpid(), SIGTERM);
    });
  }

  mainQueue->run();

  signalWaiter.join();
  appWatch.reset();
  camera->unpublish();
  source.reset();
  camera.reset();
  return EXIT_SUCCESS;
}
