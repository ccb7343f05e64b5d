#include "app/shell/CameraServiceCommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <cstdio>

#include "app/installer/StatusText.h"
#include "app/shell/SingleInstance.h"
#include "platform/log/Log.h"

namespace tovrelle::camera_service_command {
namespace {

using Case = CameraServiceInstaller::Status::Case;

constexpr const char* kStatusWord = "camera-status";
constexpr const char* kInstallWord = "install-camera";
constexpr const char* kRemoveWord = "remove-camera";

// Long enough for an install that waits for its camera after a slow start.
constexpr int kForwardTimeoutMs = 180 * 1000;

const char* wordFor(Command command) {
  switch (command) {
    case Command::status: return kStatusWord;
    case Command::install: return kInstallWord;
    case Command::remove: return kRemoveWord;
  }
  return kStatusWord;
}

std::optional<Command> commandFor(const QByteArray& word) {
  if (word == kStatusWord) return Command::status;
  if (word == kInstallWord) return Command::install;
  if (word == kRemoveWord) return Command::remove;
  return std::nullopt;
}

int exitCodeFor(const CameraServiceInstaller::Status& status) { return status.is(Case::running) ? 0 : 1; }

QString lineFor(const CameraServiceInstaller& installer, const VideoDeviceStatus* video = nullptr) {
  return status_text::terminalLine(status_text::Situation::of(installer), video);
}

}  // namespace

void addOptions(QCommandLineParser& parser) {
  parser.addOption({QString::fromLatin1(kStatusWord),
                    QStringLiteral("Check the Tovrelle camera service now and print its status and that of its "
                                   "/dev/video device (exit 0 when PipeWire apps can use the camera).")});
  parser.addOption({QString::fromLatin1(kInstallWord),
                    QStringLiteral("Install and start the Tovrelle camera service (exit 0 once its camera is "
                                   "published).")});
  parser.addOption({QString::fromLatin1(kRemoveWord),
                    QStringLiteral("Stop and remove the Tovrelle camera service; your images and settings stay.")});
}

std::optional<Command> requested(const QCommandLineParser& parser) {
  for (Command command : {Command::remove, Command::install, Command::status})
    if (parser.isSet(QString::fromLatin1(wordFor(command)))) return command;
  return std::nullopt;
}

void run(Command command, CameraServiceInstaller& installer, VideoDeviceStatus* video,
         std::function<void(int exitCode, const QString& line)> finished) {
  QPointer<CameraServiceInstaller> target(&installer);
  auto report = [target, finished](std::optional<int> code = std::nullopt) {
    if (!target) return finished(1, QStringLiteral("failed: the installer went away"));
    finished(code.value_or(exitCodeFor(target->status())), lineFor(*target));
  };
  switch (command) {
    case Command::status: {
      // Both looks run at once; the line is printed when the second ends. The
      // exit status stays the PipeWire camera's: scripts rely on it.
      QPointer<VideoDeviceStatus> device(video);
      auto pending = std::make_shared<int>(video ? 2 : 1);
      auto oneDone = [target, device, finished, pending, withVideo = video != nullptr] {
        if (--*pending > 0) return;
        if (!target) return finished(1, QStringLiteral("failed: the installer went away"));
        finished(exitCodeFor(target->status()), lineFor(*target, withVideo && device ? device.data() : nullptr));
      };
      installer.lookNow([oneDone](bool answered) {
        if (!answered)
          log::processLog("CameraServiceCommand: the check got no answer; the status is the last known one");
        oneDone();
      });
      if (video) video->refresh(oneDone);
      return;
    }
    case Command::remove: installer.remove([report](bool removed) { report(removed ? 0 : 1); }); return;
    case Command::install: {
      if (installer.status().is(Case::starting)) {
        // Someone else's install is running: wait for it like our own.
      } else {
        installer.install(false);
      }
      if (!installer.status().is(Case::starting)) return report();
      auto connection = std::make_shared<QMetaObject::Connection>();
      *connection = QObject::connect(&installer, &CameraServiceInstaller::statusChanged, &installer,
                                     [target, report, connection] {
                                       if (!target || target->status().is(Case::starting)) return;
                                       QObject::disconnect(*connection);
                                       report();
                                     });
      return;
    }
  }
}

int runFromCommandLine(Command command, SingleInstance& instance, const std::function<LocalObjects()>& prepareHere) {
  if (!instance.becomePrimary()) {
    if (auto reply = instance.send(QString::fromLatin1(wordFor(command)), {}, kForwardTimeoutMs)) {
      std::printf("%s\n", qPrintable(reply->text));
      return reply->exitCode;
    }
    std::fprintf(stderr, "tovrelle: a running Tovrelle did not answer; try again once it has started\n");
    return 1;
  }
  const LocalObjects here = prepareHere();
  int exitCode = 1;
  bool done = false;
  QEventLoop loop;
  run(command, *here.installer, here.video, [&](int code, const QString& line) {
    exitCode = code;
    done = true;
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
    loop.quit();
  });
  if (!done) loop.exec();
  return exitCode;
}

void serve(SingleInstance& instance, CameraServiceInstaller& installer, VideoDeviceStatus& video) {
  QPointer<CameraServiceInstaller> target(&installer);
  QPointer<VideoDeviceStatus> device(&video);
  instance.addCommandHandler(
      [target, device](const QString& verb, const QString&, const SingleInstance::Respond& respond) {
        auto command = commandFor(verb.toUtf8());
        if (!command) return false;
        if (!target) {
          respond({2, QStringLiteral("the camera service check is not available")});
          return true;
        }
        log::processLog("CameraServiceCommand: another launch asked for --%s", qPrintable(verb));
        run(*command, *target, device.data(), [respond](int code, const QString& line) { respond({code, line}); });
        return true;
      });
}

}  // namespace tovrelle::camera_service_command
