#include "app/shell/TrayApp.h"

#include <QCoreApplication>

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "app/installer/CameraServiceInstaller.h"
#include "app/model/ApplicationEvents.h"
#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraFeedStatus.h"
#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/shell/AppObjects.h"
#include "app/shell/PopoverWindow.h"
#include "app/shell/TrayIcon.h"
#include "app/shortcuts/Names.h"
#include "platform/log/Log.h"

namespace tovrelle {
namespace {

// Puts `content` into `window`, edge to edge.
void setContent(QWidget* window, QWidget* content) {
  auto* layout = new QVBoxLayout(window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(content);
}

void centerOnScreen(QWidget* window) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame(QPoint(0, 0), window->size());
  frame.moveCenter(screen->availableGeometry().center());
  window->move(frame.topLeft());
}

// Stands in for the popover view until it exists: an empty panel of the popover's width.
QWidget* placeholderPopoverContent() {
  auto* content = new QWidget;
  content->setObjectName(QStringLiteral("popoverPlaceholder"));
  content->setFixedSize(260, 200);
  return content;
}

}  // namespace

TrayApp::Services TrayApp::defaultServices(AppObjects& objects) {
  Services s;
  s.cameraManager = [&objects]() -> CameraManager& { return *objects.camera; };
  s.installer = [&objects]() -> CameraServiceInstaller& { return *objects.installer; };
  s.cameraDevices = [&objects]() -> CameraDeviceManager& { return *objects.cameraDevices; };
  s.cameraFeed = [&objects]() -> CameraFeedStatus& { return *objects.cameraFeed; };
  s.onKeyUp = [&objects](const KeyboardShortcuts::Name& name, KeyboardShortcuts::Action action) {
    objects.shortcuts->onKeyUp(name, std::move(action));
  };
  s.capture = [&objects] { return objects.captureDevices; };
  s.mainQueue = objects.mainQueue;
  s.utilityQueue = dispatch::makeSerialQueue("ossel.tovrelle.utility");
  s.updatePage = urls::updatePage();
  s.opener = objects.urlOpener;
  s.makeTrayIcon = []() -> std::unique_ptr<TrayIcon> { return std::make_unique<DesktopTrayIcon>(); };
  s.imageManager = [&objects]() -> ImageManager& { return *objects.images; };
  s.settings = &objects.settings;
  return s;
}

TrayApp::TrayApp(Services services, Hooks hooks, QObject* parent)
    : QObject(parent), services_(std::move(services)), hooks_(std::move(hooks)) {
  if (auto* app = QCoreApplication::instance()) app->installEventFilter(this);
}

TrayApp::~TrayApp() {
  for (auto& c : cancellables_) disconnect(c);
  delete popover_.data();
  delete settingsWindow_.data();
  delete onboardingWindow_.data();
}

void TrayApp::applicationDidFinishLaunching() {
  // 1. A panel app: no main window, and closing its windows does not quit it.
  QGuiApplication::setQuitOnLastWindowClosed(false);

  // 2. The tray icon; reading the mode creates the camera manager.
  setUpTrayIcon();

  // 3. First run goes through onboarding; later runs install (unless the user
  // removed the camera service) and ask for the camera here.
  if (services_.settings->boolValue(kHasCompletedOnboardingKey)) {
    services_.installer().installAtLaunch();
    auto capture = services_.capture ? services_.capture() : nullptr;
    services_.utilityQueue->async([capture] {
      if (!capture || capture->authorizationStatus() != capture::AuthorizationStatus::notDetermined) return;
      capture->requestAccess(
          [](bool granted) { log::processLog("Camera permission granted: %s", granted ? "true" : "false"); });
    });
  } else {
    showOnboarding();
  }

  // 4. The tray icon follows every mode, one main-queue turn after the change.
  CameraManager& cameraManager = services_.cameraManager();
  QPointer<TrayApp> self(this);
  auto deliverMode = [self, main = services_.mainQueue](CameraMode mode) {
    main->async([self, mode] {
      if (self) self->updateTrayIcon(mode);
    });
  };
  deliverMode(cameraManager.currentMode());
  cancellables_.push_back(connect(&cameraManager, &CameraManager::currentModeChanged, this,
                                  [deliverMode, &cameraManager] { deliverMode(cameraManager.currentMode()); }));

  // 5. Camera discovery starts with its manager.
  services_.cameraDevices();
  // The item's tool tip and context menu name cameras and images, so they follow discovery.
  if (trayIcon_ && trayIcon_->hasButton()) {
    TrayIconMenu::Models menu;
    menu.cameraManager = &cameraManager;
    menu.imageManager = services_.imageManager ? &services_.imageManager() : nullptr;
    menu.cameraDevices = &services_.cameraDevices();
    menu.cameraFeed = services_.cameraFeed ? &services_.cameraFeed() : nullptr;
    menu.openSettings = [self] {
      if (self) self->openSettings();
    };
    menu.quit = [] { QCoreApplication::quit(); };
    trayMenu_ = new TrayIconMenu(*trayIcon_, std::move(menu));
    // Before onboarding nothing was installed or removed; the installer comes with it.
    if (services_.settings->boolValue(kHasCompletedOnboardingKey)) trayMenu_->watchInstaller(services_.installer());
  }

  // 6. The global shortcuts act when their keys are released.
  auto cameraManagerAccess = services_.cameraManager;
  services_.onKeyUp(KeyboardShortcuts::Names::cameraOff, [cameraManagerAccess] { cameraManagerAccess().turnOff(); });
  services_.onKeyUp(KeyboardShortcuts::Names::cameraOn, [cameraManagerAccess] { cameraManagerAccess().turnOn(); });
  services_.onKeyUp(KeyboardShortcuts::Names::showLastImage,
                    [cameraManagerAccess] { cameraManagerAccess().showLastImage(); });
}

void TrayApp::applicationDidBecomeActive() { services_.installer().refreshStatusForDisplay(); }

void TrayApp::setUpTrayIcon() {
  trayIcon_ = services_.makeTrayIcon();
  if (!trayIcon_ || !trayIcon_->hasButton()) return;
  updateTrayIcon(services_.cameraManager().currentMode());
  connect(trayIcon_.get(), &TrayIcon::activated, this, &TrayApp::togglePopover);
}

void TrayApp::updateTrayIcon(CameraMode mode) {
  if (!trayIcon_ || !trayIcon_->hasButton()) return;
  QString icon;
  QString label;
  switch (mode) {
    case CameraMode::off:
      icon = QStringLiteral("tovrelle-camera-off-symbolic");
      //: Tray icon accessibility label
      label = qtTrId("a11y.trayIcon.off");
      break;
    case CameraMode::camera:
      icon = QStringLiteral("tovrelle-camera-on-symbolic");
      //: Tray icon accessibility label
      label = qtTrId("a11y.trayIcon.camera");
      break;
    case CameraMode::image:
      icon = QStringLiteral("tovrelle-image-symbolic");
      //: Tray icon accessibility label
      label = qtTrId("a11y.trayIcon.image");
      break;
  }
  trayIcon_->setImage(icon);
  trayIcon_->setAccessibilityLabel(label);
}

void TrayApp::togglePopover() {
  if (popover_ && popover_->isShown()) {
    popover_->performClose();
    return;
  }
  showPopover();
}

void TrayApp::showPopover() {
  // A new popover every time; the previous one goes.
  if (popover_) popover_->deleteLater();
  popover_ = makePopover();
  services_.installer().refreshStatusForDisplay();
  if (hooks_.startPreview) hooks_.startPreview();
  popover_->showRelativeTo(trayIcon_ ? trayIcon_->buttonGeometry() : QRect());
}

PopoverWindow* TrayApp::makePopover() {
  QPointer<TrayApp> self(this);
  PopoverInputs inputs;
  inputs.onOpenSettings = [self] {
    if (!self) return;
    if (self->popover_) self->popover_->performClose();
    if (self) self->openSettings();
  };
  inputs.onInstallService = [main = services_.mainQueue, installer = services_.installer] {
    main->async([installer] {
      CameraServiceInstaller& serviceInstaller = installer();
      if (!serviceInstaller.status().is(CameraServiceInstaller::Status::Case::starting)) serviceInstaller.install(true);
    });
  };
  inputs.onCheckForUpdates = [self] {
    if (!self) return;
    if (self->popover_) self->popover_->performClose();
    if (!self->services_.opener || !self->services_.opener->open(self->services_.updatePage))
      log::processLog("TrayApp: could not open the update page %s", self->services_.updatePage.c_str());
  };
  inputs.canCheckForUpdates = canCheckForUpdates();
  QWidget* content = hooks_.makePopoverContent ? hooks_.makePopoverContent(inputs) : placeholderPopoverContent();
  auto* popover = new PopoverWindow(content);
  connect(popover, &PopoverWindow::didClose, this, &TrayApp::popoverDidClose);
  return popover;
}

void TrayApp::popoverDidClose() {
  if (hooks_.stopPreview) hooks_.stopPreview();
}

void TrayApp::openSettings() {
  // Settings can remove the camera service; the tool tip then says so.
  if (trayMenu_) trayMenu_->watchInstaller(services_.installer());
  if (!settingsWindow_) {
    auto* window = new QWidget(nullptr, Qt::Window);
    window->setObjectName(QStringLiteral("settingsWindow"));
    setContent(window, hooks_.makeSettingsContent ? hooks_.makeSettingsContent() : new QWidget);
    //: Settings window title
    window->setWindowTitle(qtTrId("settings.windowTitle"));
    window->resize(600, 540);
    window->setMinimumSize(600, 460);
    centerOnScreen(window);
    // Closing only hides it; the same window comes back next time.
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    settingsWindow_ = window;
  }
  activateApplication(settingsWindow_);
}

void TrayApp::showOnboarding() {
  if (!onboardingWindow_) {
    QPointer<TrayApp> self(this);
    auto onClose = [self] {
      if (!self) return;
      self->services_.settings->setValue(kHasCompletedOnboardingKey, true);
      if (self->trayMenu_) self->trayMenu_->watchInstaller(self->services_.installer());
      if (self->onboardingWindow_) self->onboardingWindow_->close();
    };
    auto* window = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                            Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    window->setObjectName(QStringLiteral("onboardingWindow"));
    setContent(window, hooks_.makeOnboardingContent ? hooks_.makeOnboardingContent(onClose) : new QWidget);
    //: Onboarding window title
    window->setWindowTitle(qtTrId("onboarding.windowTitle"));
    window->setFixedSize(560, 600);
    centerOnScreen(window);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->installEventFilter(this);
    onboardingWindow_ = window;
  }
  activateApplication(onboardingWindow_);
}

void TrayApp::windowWillClose(QWidget* window) {
  if (window && window == onboardingWindow_) services_.settings->setValue(kHasCompletedOnboardingKey, true);
}

bool TrayApp::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) quitting_ = true;
  if (event->type() == QEvent::Close && watched == onboardingWindow_ && !quitting_) windowWillClose(onboardingWindow_);
  return QObject::eventFilter(watched, event);
}

void TrayApp::activateApplication(QWidget* window) {
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace tovrelle
