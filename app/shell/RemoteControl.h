#pragma once
// Control from the command line: `tovrelle --camera-off`, `--camera-on`,
// `--show-last-image`, `--image NAME` and `--camera ID|NAME` act on the
// running instance through its single-instance channel and print what the
// camera shows now. This is what a desktop's own keyboard settings or a
// script binds, on any session. Without a running instance nothing starts.
// Thread-bound (main thread).
#include <QString>
#include <optional>

#include "app/shell/SingleInstance.h"

class QCommandLineParser;

namespace tovrelle {

class CameraDeviceManager;
class CameraManager;
class ImageManager;

namespace RemoteControl {

// Adds the control options (for --help).
void addOptions(QCommandLineParser& parser);

// When argv holds a control option: sends it to the running instance, prints
// the answer and returns the exit status (0 done, 1 refused, 2 not running).
// None when argv holds no control option.
std::optional<int> runIfRequested(int argc, char** argv);

// The primary instance's side, on the given model objects.
struct Models {
  CameraManager& camera;
  ImageManager& images;
  CameraDeviceManager& devices;
};
std::optional<SingleInstance::Reply> handle(const Models& models, const QString& verb, const QString& argument);

// One line: what the virtual camera shows now.
QString describe(const Models& models);

}  // namespace RemoteControl
}  // namespace tovrelle
