#include "app/shell/RemoteControl.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "platform/log/Log.h"

namespace tovrelle::RemoteControl {
namespace {

// Option name, and the verb it sends (the same word).
struct Control {
  const char* option;
  const char* valueName;  // null: a plain switch
  const char* help;
};

constexpr Control kControls[] = {
    {"camera-off", nullptr, "Turn the Tovrelle camera off (in the running Tovrelle)."},
    {"camera-on", nullptr, "Turn the Tovrelle camera on, showing the chosen camera."},
    {"show-last-image", nullptr, "Show the last shown library image."},
    {"image", "NAME", "Show the library image of this name (not case-sensitive; the first match)."},
    {"camera", "ID|NAME", "Pass this camera through (its id, its name, or \"default\") and turn the camera on."},
};

// Names come from the user's files and from scripts: no control characters in our one line.
QString printable(QString text) {
  for (QChar& c : text)
    if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format) c = QChar(u'?');
  if (text.size() > 200) text = text.left(200) + QStringLiteral("…");
  return text;
}

std::optional<SingleInstance::Reply> refused(const QString& text) { return SingleInstance::Reply{1, text}; }

}  // namespace

void addOptions(QCommandLineParser& parser) {
  for (const Control& control : kControls) {
    parser.addOption(control.valueName
                         ? QCommandLineOption(QString::fromLatin1(control.option), QString::fromUtf8(control.help),
                                              QString::fromLatin1(control.valueName))
                         : QCommandLineOption(QString::fromLatin1(control.option), QString::fromUtf8(control.help)));
  }
}

std::optional<int> runIfRequested(int argc, char** argv) {
  // A cheap look first: the app itself must not build a control client.
  bool wanted = false;
  for (int i = 1; i < argc && !wanted; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    for (const Control& control : kControls) {
      const QString option = QStringLiteral("--") + QString::fromLatin1(control.option);
      if (arg == option || arg.startsWith(option + QLatin1Char('='))) wanted = true;
    }
  }
  if (!wanted) return std::nullopt;

  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("tovrelle"));
  QCommandLineParser parser;
  parser.addHelpOption();
  addOptions(parser);
  parser.addOption(QCommandLineOption(QStringLiteral("settings"), QStringLiteral("Open the settings window.")));
  parser.process(app);

  QString verb, argument;
  int given = 0;
  for (const Control& control : kControls) {
    const QString option = QString::fromLatin1(control.option);
    if (!parser.isSet(option)) continue;
    ++given;
    verb = option;
    if (control.valueName) argument = parser.value(option);
  }
  if (given != 1) {
    std::fprintf(stderr, "tovrelle: give one control option at a time\n");
    return 1;
  }
  if ((verb == QLatin1String("image") || verb == QLatin1String("camera")) && argument.trimmed().isEmpty()) {
    std::fprintf(stderr, "tovrelle: --%s needs a name\n", qPrintable(verb));
    return 1;
  }

  SingleInstance instance;
  if (const auto& problem = instance.folderProblem()) {
    std::fprintf(stderr, "tovrelle: cannot reach the running Tovrelle safely: %s (nothing was changed)\n",
                 qPrintable(*problem));
    return 2;
  }
  if (!instance.otherInstanceRunning()) {
    std::fprintf(stderr, "tovrelle: Tovrelle is not running; start it first (nothing was changed)\n");
    return 2;
  }
  const auto reply = instance.send(verb, argument);
  if (!reply) {
    std::fprintf(stderr, "tovrelle: the running Tovrelle did not answer (nothing was changed)\n");
    return 2;
  }
  std::fprintf(reply->ok() ? stdout : stderr, "%s\n", qPrintable(reply->text));
  return reply->exitCode;
}

QString describe(const Models& models) {
  switch (models.camera.currentMode()) {
    case CameraMode::off: return QStringLiteral("Tovrelle camera: off");
    case CameraMode::camera: {
      const auto& id = models.camera.selectedCameraId();
      const auto& cameras = models.devices.cameras();
      // Saying "showing" while other apps get black would send the user looking elsewhere.
      if (models.devices.hasLooked() && cameras.empty())
        return QStringLiteral("Tovrelle camera: on, but no camera is connected (other apps see black)");
      QString camera = QStringLiteral("the default camera");
      if (id) {
        bool connected = false;
        for (const CameraInfo& info : cameras)
          if (info.id == *id) camera = printable(QString::fromStdString(info.name)), connected = true;
        if (!connected && models.devices.hasLooked())
          return QStringLiteral(
                     "Tovrelle camera: on, but the chosen camera \"%1\" is not connected (other apps see black)")
              .arg(printable(QString::fromStdString(*id)));
      }
      return QStringLiteral("Tovrelle camera: on, showing %1").arg(camera);
    }
    case CameraMode::image: {
      const auto& id = models.camera.selectedImageId();
      for (const SavedImage& image : models.images.savedImages())
        if (id && image.id == *id)
          return QStringLiteral("Tovrelle camera: image \"%1\"").arg(printable(QString::fromStdString(image.name)));
      return QStringLiteral("Tovrelle camera: image (no longer in the library)");
    }
  }
  return {};
}

std::optional<SingleInstance::Reply> handle(const Models& models, const QString& verb, const QString& argument) {
  CameraManager& camera = models.camera;
  if (verb == QLatin1String("camera-off")) {
    camera.turnOff();
  } else if (verb == QLatin1String("camera-on")) {
    camera.turnOn();
  } else if (verb == QLatin1String("show-last-image")) {
    if (models.images.savedImages().empty())
      return refused(QStringLiteral("No image to show: the library is empty. %1").arg(describe(models)));
    camera.showLastImage();
  } else if (verb == QLatin1String("image")) {
    const QString wanted = argument.trimmed();
    const SavedImage* match = nullptr;
    for (const SavedImage& image : models.images.savedImages()) {
      if (QString::fromStdString(image.name).compare(wanted, Qt::CaseInsensitive) == 0) {
        match = &image;
        break;
      }
    }
    if (!match)
      return refused(
          QStringLiteral("No image named \"%1\" in the library. %2").arg(printable(wanted), describe(models)));
    camera.selectImage(match->id);
  } else if (verb == QLatin1String("camera")) {
    const QString wanted = argument.trimmed();
    std::optional<std::string> id;
    bool found = wanted.compare(QLatin1String("default"), Qt::CaseInsensitive) == 0;
    const auto& cameras = models.devices.cameras();
    for (const CameraInfo& info : cameras) {
      if (found) break;
      if (QString::fromStdString(info.id) == wanted) id = info.id, found = true;
    }
    for (const CameraInfo& info : cameras) {
      if (found) break;
      if (QString::fromStdString(info.name).compare(wanted, Qt::CaseInsensitive) == 0) id = info.id, found = true;
    }
    if (!found)
      return refused(QStringLiteral("No camera \"%1\" is connected. %2").arg(printable(wanted), describe(models)));
    // As the popover's camera menu: choose it, then turn the camera on.
    camera.setSelectedCameraId(id);
    if (camera.currentMode() != CameraMode::camera) {
      camera.turnOn();
    } else {
      camera.writeState();
    }
  } else {
    return std::nullopt;
  }
  log::processLog("TovrelleApp: command line asked for %s", qPrintable(verb));
  return SingleInstance::Reply{0, describe(models)};
}

}  // namespace tovrelle::RemoteControl
