// tovrelle-host-model: the host's model objects without a user interface.
// It builds a CameraManager and an ImageManager as the app does (on a
// settings file of its own), then takes one command per line from a control pipe:
//
//   on | off | last | select <position> | add <file> | camera <id or ->
//   rename <position> <name> | delete <position>... | move <position> <destination> | quit
//
// and answers each on stdout with "host-model: done <command> t=<ns>", the
// CLOCK_MONOTONIC time right after the operation returned (frames carry the
// same clock, so a client can measure the latency to its picture).
#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>

#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/model/Settings.h"
#include "platform/dispatch/QtMainQueue.h"

using namespace tovrelle;

namespace {

long long monotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void say(const std::string& line) {
  std::fprintf(stdout, "host-model: %s\n", line.c_str());
  std::fflush(stdout);
}

std::optional<size_t> position(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return std::nullopt;
  return static_cast<size_t>(std::stoul(text));
}

// Runs one command; false for a command it does not know.
bool run(const std::string& line, CameraManager& camera, ImageManager& images) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  std::string rest;
  std::getline(in >> std::ws, rest);
  const auto& list = images.savedImages();

  if (verb == "on") {
    camera.turnOn();
  } else if (verb == "off") {
    camera.turnOff();
  } else if (verb == "last") {
    camera.showLastImage();
  } else if (verb == "select") {
    auto at = position(rest);
    if (!at || *at >= list.size()) return false;
    camera.selectImage(list[*at].id);
  } else if (verb == "add") {
    if (rest.empty()) return false;
    images.addImage(rest);
  } else if (verb == "camera") {
    camera.setSelectedCameraId(rest.empty() || rest == "-" ? std::nullopt : std::optional<std::string>(rest));
    camera.writeState();
  } else if (verb == "rename") {
    std::istringstream args(rest);
    std::string at;
    args >> at;
    std::string name;
    std::getline(args >> std::ws, name);
    auto index = position(at);
    if (!index || *index >= list.size()) return false;
    images.renameImage(list[*index].id, name);
  } else if (verb == "delete") {
    std::istringstream args(rest);
    IndexSet positions;
    for (std::string at; args >> at;) {
      auto index = position(at);
      if (!index) return false;
      positions.insert(*index);
    }
    images.deleteImages(positions);
  } else if (verb == "move") {
    std::istringstream args(rest);
    std::string from, to;
    args >> from >> to;
    auto f = position(from), t = position(to);
    if (!f || !t) return false;
    images.moveImages({*f}, *t);
  } else if (verb == "quit") {
    QCoreApplication::quit();
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::string control;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--control") == 0) control = argv[i + 1];
  if (control.empty()) {
    std::fprintf(stderr, "usage: tovrelle-host-model --control <fifo>\n");
    return 2;
  }
  if (::mkfifo(control.c_str(), 0600) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "host-model: cannot make %s: %s\n", control.c_str(), std::strerror(errno));
    return 1;
  }
  // Read and write, so the pipe never reports end of file between writers.
  int fd = ::open(control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "host-model: cannot open %s: %s\n", control.c_str(), std::strerror(errno));
    return 1;
  }

  // The program's objects, in the order they need each other.
  auto settingsFile = Settings::defaultFilePath();
  if (!settingsFile) {
    std::fprintf(stderr, "host-model: %s\n", settingsFile.error().c_str());
    ::close(fd);
    return 1;
  }
  Settings settings(QString::fromStdString(settingsFile->string()));
  auto mainQueue = std::make_shared<dispatch::QtMainQueue>();
  std::unique_ptr<CameraManager> camera;
  ImageManager images({mainQueue, [&camera]() -> CameraManager& { return *camera; }});
  camera = std::make_unique<CameraManager>(
      CameraManager::Dependencies{mainQueue, [&images]() -> ImageManager& { return images; }, &settings});

  std::string pending;
  QSocketNotifier notifier(fd, QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      pending.append(buffer, static_cast<size_t>(n));
      if (pending.size() > 1 << 20) pending.clear();  // no line is that long
    }
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.empty()) continue;
      if (run(line, *camera, images)) {
        say("done " + line + " t=" + std::to_string(monotonicNanos()));
      } else {
        say("unknown " + line);
      }
    }
  });
  say("ready t=" + std::to_string(monotonicNanos()));
  int status = app.exec();
  camera.reset();
  ::close(fd);
  return status;
}
