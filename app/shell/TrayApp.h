#pragma once
// The tray app's hub: puts the tray icon in the panel and keeps its icon
// in step with the camera mode, runs the launch sequence (which fixes the
// order in which the model objects come into being), wires the three global
// shortcuts, and owns the popover and the settings and onboarding windows.
//
// The popover, onboarding and settings contents are hooks; until their views
// exist the windows open empty with their titles.
// Thread-bound (main thread). The launch-time camera access request runs on
// the utility queue and touches only the capture service handed to it; its
// answer is only logged.
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <string>

#include "app/model/Settings.h"
#include "app/shell/PopoverWindow.h"
#include "app/shortcuts/KeyboardShortcuts.h"
#include "platform/capture/CaptureDevices.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/urls/UrlOpener.h"
#include "shared/CameraState.h"

class QWidget;

namespace tovrelle {

struct AppObjects;
class CameraDeviceManager;
class CameraFeedStatus;
class CameraManager;
class ImageManager;
class PopoverWindow;
class TrayIcon;
class TrayIconMenu;
class CameraServiceInstaller;

class TrayApp : public QObject {
  Q_OBJECT

 public:
  // Where the tray app finds what it touches. Accessors create their object
  // on first use, so the order of the first calls is the order of creation.
  struct Services {
    std::function<CameraManager&()> cameraManager;
    std::function<CameraServiceInstaller&()> installer;
    std::function<CameraDeviceManager&()> cameraDevices;
    // Why camera mode shows no picture, for the tool tip; none leaves it out.
    std::function<CameraFeedStatus&()> cameraFeed;
    std::function<void(const KeyboardShortcuts::Name&, KeyboardShortcuts::Action)> onKeyUp;
    // The capture service the launch-time camera access request goes to.
    std::function<std::shared_ptr<capture::CaptureDevices>()> capture;
    std::shared_ptr<dispatch::Queue> mainQueue;
    // A background queue for the launch-time camera access request.
    std::shared_ptr<dispatch::Queue> utilityQueue;
    // The web page "Check for updates" opens; empty when updates come with
    // the system's packages.
    std::string updatePage;
    std::shared_ptr<urls::UrlOpener> opener;
    std::function<std::unique_ptr<TrayIcon>()> makeTrayIcon;
    // The library the tray icon's menu lists; none leaves the images out.
    std::function<ImageManager&()> imageManager;
    // Where finishing the setup guide is remembered.
    Settings* settings = nullptr;
  };

  // What the popover view is built with.
  struct PopoverInputs {
    std::function<void()> onOpenSettings;
    std::function<void()> onInstallService;
    std::function<void()> onCheckForUpdates;
    bool canCheckForUpdates = false;
  };

  // Filled by the popover, onboarding, settings and preview.
  struct Hooks {
    std::function<QWidget*(const PopoverInputs&)> makePopoverContent;
    std::function<QWidget*(std::function<void()> onClose)> makeOnboardingContent;
    std::function<QWidget*()> makeSettingsContent;
    std::function<void()> startPreview;
    std::function<void()> stopPreview;
  };

  // The program's objects, the shortcut module, the tray and the update page.
  static Services defaultServices(AppObjects& objects);

  static constexpr const char* kHasCompletedOnboardingKey = settings_keys::kHasCompletedOnboarding;

  explicit TrayApp(Services services, Hooks hooks = {}, QObject* parent = nullptr);
  ~TrayApp() override;

  // The launch sequence; once, after the event loop started.
  void applicationDidFinishLaunching();
  // Each time one of the app's windows comes to the front.
  void applicationDidBecomeActive();
  void togglePopover();
  void popoverDidClose();
  void openSettings();
  void showOnboarding();
  void windowWillClose(QWidget* window);

  // Seen by the popover's rows and by tests.
  TrayIcon* trayIcon() const { return trayIcon_.get(); }
  PopoverWindow* popover() const { return popover_; }
  QWidget* settingsWindow() const { return settingsWindow_; }
  QWidget* onboardingWindow() const { return onboardingWindow_; }
  bool canCheckForUpdates() const { return !services_.updatePage.empty(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void setUpTrayIcon();
  void updateTrayIcon(CameraMode mode);
  PopoverWindow* makePopover();
  void showPopover();
  void activateApplication(QWidget* window);

  Services services_;
  Hooks hooks_;
  std::unique_ptr<TrayIcon> trayIcon_;
  QPointer<TrayIconMenu> trayMenu_;
  QPointer<QWidget> settingsWindow_;
  QPointer<QWidget> onboardingWindow_;
  std::vector<QMetaObject::Connection> cancellables_;
  QPointer<PopoverWindow> popover_;
  // Set once the application starts quitting: windows closed by the quit are
  // not the user finishing onboarding.
  bool quitting_ = false;
};

}  // namespace tovrelle
