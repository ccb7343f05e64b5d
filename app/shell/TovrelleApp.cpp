#include "app/shell/TovrelleApp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/installer/BuildInfo.h"
#include "app/model/Settings.h"
#include "app/settings/GeneralSettingsView.h"
#include "app/settings/Icons.h"
#include "app/shell/AppObjects.h"
#include "app/shell/CameraServiceCommand.h"
#include "app/shell/DesktopPalette.h"
#include "app/shell/FolderMigration.h"
#include "app/shell/OnboardingView.h"
#include "app/shell/PopoverWindow.h"
#include "app/shell/RemoteControl.h"
#include "app/shell/SingleInstance.h"
#include "app/shell/Strings.h"
#include "app/shell/TrayApp.h"
#include "app/shell/TrayPanel.h"
#include "platform/appearance/portal/PortalAppearance.h"
#include "platform/log/Log.h"
#include "platform/videodevice/linux/LinuxVideoDevices.h"
#include "shared/DataFolder.h"

namespace tovrelle {
namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] auto n = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so the instance lock and socket are removed.
void quitOnTerminationSignals(QApplication& app) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
    char byte;
    [[maybe_unused]] auto n = ::read(signalPipe[0], &byte, 1);
    QCoreApplication::quit();
  });
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

QIcon appIcon() {
  QIcon icon(QStringLiteral(":/app/velkari.tovrelle.svg"));
  return icon.isNull() ? icons::icon(QStringLiteral("tovrelle-camera-on-symbolic"), Qt::black) : icon;
}

// Options that print one result line and end, as opposed to starting the app.
bool isCommandLineRun(int argc, char** argv) {
  static constexpr const char* kWords[] = {"camera-off", "camera-on",     "show-last-image", "image",
                                           "camera",     "camera-status", "install-camera",  "remove-camera"};
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--", 2) != 0) continue;
    const char* option = argv[i] + 2;
    for (const char* word : kWords) {
      const size_t n = std::strlen(word);
      if (std::strncmp(option, word, n) == 0 && (option[n] == '\0' || option[n] == '=')) return true;
    }
  }
  return false;
}

void qtMessageToLog(QtMsgType type, const QMessageLogContext&, const QString& text) {
  log::Level level = log::Level::Error;
  switch (type) {
    case QtDebugMsg: level = log::Level::Debug; break;
    case QtInfoMsg: level = log::Level::Info; break;
    case QtWarningMsg: level = log::Level::Warning; break;
    case QtCriticalMsg:
    case QtFatalMsg: break;
  }
  log::write(level, {}, {}, "Qt: " + text.toStdString());
}

}  // namespace

int TovrelleApp::main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("tovrelle %s\n", build_info::shortVersion().c_str());
      return 0;
    }
  }
  // Scripts and key bindings read what these print: only the result goes to stdout, the
  // rest (Qt's own messages included) to the log, and off the terminal.
  if (isCommandLineRun(argc, argv)) {
    log::keepTerminalForResults();
    qInstallMessageHandler(qtMessageToLog);
  }
  // Control options talk to the running instance and never start one.
  if (auto status = RemoteControl::runIfRequested(argc, argv)) return *status;
  // Without any display Qt would stop the program. The host still has work to do (the state
  // file, the heartbeat, answering a second launch), so it runs without tray icon and windows.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    log::processLog(
        "TovrelleApp: no display (DISPLAY and WAYLAND_DISPLAY are unset); running without a tray icon or windows");
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  // The name panels show for the tray item. Stored settings do not depend on
  // it: their file is named explicitly (velkari/tovrelle.ini).
  QApplication::setApplicationName(QStringLiteral("Tovrelle"));
  QApplication::setOrganizationName(QStringLiteral("velkari"));
  QGuiApplication::setDesktopFileName(QStringLiteral("velkari.tovrelle"));
  QApplication::setQuitOnLastWindowClosed(false);

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Tovrelle, a virtual camera. Lives in the panel.\n\n"
                     "The control options below act on the running Tovrelle and print what the camera shows;\n"
                     "bind them to keys in your desktop's keyboard settings.\n\n"
                     "Apps that only open /dev/video devices see the Tovrelle camera through the\n"
                     "v4l2loopback device labelled Tovrelle; --camera-status says where it is."));
  parser.addHelpOption();
  parser.addOption(QCommandLineOption(QStringLiteral("version"), QStringLiteral("Print the version of Tovrelle.")));
  RemoteControl::addOptions(parser);
  QCommandLineOption settingsOption(QStringLiteral("settings"), QStringLiteral("Open the settings window."));
  parser.addOption(settingsOption);
  camera_service_command::addOptions(parser);
  parser.process(app);
  const bool wantsSettings = parser.isSet(settingsOption);

  // Everything the host keeps lives in the user's data folder; without a home folder there is
  // none, and nothing is written anywhere else instead.
  if (auto data = resolveDataDir(); !data) {
    log::write(log::Level::Error, {}, {}, "TovrelleApp: cannot start: " + data.error());
    if (!isCommandLineRun(argc, argv) && QGuiApplication::platformName() != QLatin1String("offscreen"))
      QMessageBox::critical(nullptr, QStringLiteral("Tovrelle"),
                            QStringLiteral("Tovrelle cannot start: %1.").arg(QString::fromStdString(data.error())));
    return 1;
  }

  // The host is the only writer of the data folder: a second launch hands over and leaves.
  SingleInstance instance;
  // Old folder names move before anything resolves the data folder or reads the settings;
  // the settings stay in the old file while it cannot move.
  std::unique_ptr<Settings> store;
  auto moveLegacyFoldersAndOpenSettings = [&store]() -> bool {
    const auto kept = migrateLegacyFolders().keepSettingsAt;
    const auto file = kept ? Result<std::filesystem::path>(*kept) : Settings::defaultFilePath();
    if (!file) {
      log::write(log::Level::Error, {}, {}, "TovrelleApp: cannot start: " + file.error());
      return false;
    }
    store = std::make_unique<Settings>(QString::fromStdString(file->string()));
    return true;
  };
  if (auto command = camera_service_command::requested(parser)) {
    strings::install(app);
    std::shared_ptr<CameraServiceInstaller> installer;
    std::unique_ptr<VideoDeviceStatus> video;
    return camera_service_command::runFromCommandLine(
        *command, instance, [&]() -> camera_service_command::LocalObjects {
          if (!moveLegacyFoldersAndOpenSettings()) return {};
          auto mainQueue = std::make_shared<dispatch::QtMainQueue>();
          installer = makeCameraServiceInstaller(*store, mainQueue);
          video = std::make_unique<VideoDeviceStatus>(
              VideoDeviceStatus::Dependencies{videodevice::makeLinuxVideoDevices({}, mainQueue), mainQueue});
          return {installer.get(), video.get()};
        });
  }
  if (!instance.becomePrimary()) {
    const auto request = wantsSettings ? SingleInstance::Request::openSettings : SingleInstance::Request::showPopover;
    if (instance.forward(request)) {
      log::processLog("TovrelleApp: Tovrelle is already running; asked it to show its %s",
                      wantsSettings ? "settings" : "popover");
      return 0;
    }
    log::processLog("TovrelleApp: another Tovrelle holds %s but does not answer; not starting a second one",
                    qPrintable(instance.lockPath()));
    return 1;
  }

  // From here on SIGTERM and SIGINT end the event loop, so every object below is torn down.
  quitOnTerminationSignals(app);
  if (!moveLegacyFoldersAndOpenSettings()) return 1;
  // The one writer of the data folder tidies it before anything reads it; where no lock guards
  // it (an unsafe control folder) another instance may be mid-change, so it is left alone.
  const bool tidy = !instance.folderProblem();
  if (tidy) {
    if (const int narrowed = makeDataFolderPrivate())
      log::processLog("TovrelleApp: made %d entries of the data folder %s private to you", narrowed, dataDir().c_str());
  }
  // The program's objects, in the order they need each other (see AppObjects).
  AppObjects objects(*store);
  if (tidy) objects.images->removeLeftovers();
  // A clean quit marks the heartbeat stopped at once; a crash leaves it to age.
  QObject::connect(&app, &QCoreApplication::aboutToQuit, objects.camera.get(),
                   [&objects] { objects.camera->stopHeartbeat(); });
  QApplication::setWindowIcon(appIcon());
  strings::install(app);
  // Light or dark as the desktop prefers, switched live, before any window exists.
  appearance::PortalAppearance desktopAppearance(QDBusConnection::sessionBus());
  DesktopPalette palette(desktopAppearance);

  TrayApp::Hooks hooks;
  installTrayPanel(hooks, TrayPanel::Models::from(objects));
  hooks.makeOnboardingContent = [&objects](std::function<void()> onClose) {
    return makeOnboardingContent(objects, std::move(onClose));
  };
  // The General tab's setup guide button reaches the tray app built just below.
  QPointer<TrayApp> trayApp;
  hooks.makeSettingsContent = [&trayApp, &objects] {
    settings::GeneralSettingsView::Environment general;
    general.loginItemManager = objects.loginItem.get();
    general.serviceInstaller = objects.installer.get();
    general.cameraPermission = objects.cameraPermission.get();
    general.showOnboarding = [&trayApp] {
      if (trayApp) trayApp->showOnboarding();
    };
    general.opener = objects.urlOpener;
    general.videoDevice = objects.videoDevice.get();
    general.settings = &objects.settings;
    general.shortcuts = objects.shortcuts.get();
    return settings::makeSettingsWindowContent(*objects.images, std::move(general));
  };
  TrayApp tray(TrayApp::defaultServices(objects), std::move(hooks));
  trayApp = &tray;
  camera_service_command::serve(instance, *objects.installer, *objects.videoDevice);
  QObject::connect(&instance, &SingleInstance::requested, &tray, [&tray](SingleInstance::Request request) {
    if (request == SingleInstance::Request::openSettings) {
      tray.openSettings();
    } else if (!tray.popover() || !tray.popover()->isShown()) {
      tray.togglePopover();
    }
  });
  instance.addCommandHandler(
      [&objects](const QString& verb, const QString& argument, const SingleInstance::Respond& respond) {
        auto reply = RemoteControl::handle({*objects.camera, *objects.images, *objects.cameraDevices}, verb, argument);
        if (reply) respond(*reply);
        return reply.has_value();
      });
  QObject::connect(&app, &QGuiApplication::applicationStateChanged, &tray,
                   [&tray, &objects](Qt::ApplicationState state) {
                     if (state != Qt::ApplicationActive) return;
                     tray.applicationDidBecomeActive();
                     objects.events.postDidBecomeActive();
                   });
  // The launch sequence runs once the event loop is up, like a finished launch.
  QTimer::singleShot(0, &tray, [&tray, wantsSettings] {
    tray.applicationDidFinishLaunching();
    if (wantsSettings) tray.openSettings();
  });
  return app.exec();
}

}  // namespace tovrelle
