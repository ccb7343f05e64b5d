#pragma once
// The settings window's General tab: the language note, start at login, the
// camera service's status with reinstall and the failure's details, its
// /dev/video device, the
// camera access hint while access is refused, a way back into the setup
// guide, and the three shortcut recorders. It redraws from the change
// signals of its three model objects; nothing here polls.
// Thread-bound (main thread), both views.
#include <QPointer>
#include <QUrl>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "app/installer/CameraServiceInstaller.h"
#include "app/installer/StatusText.h"
#include "app/model/CameraPermission.h"
#include "app/model/LoginItemManager.h"
#include "app/model/Settings.h"
#include "app/model/VideoDeviceStatus.h"
#include "platform/urls/UrlOpener.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace KeyboardShortcuts {
class ShortcutRegistry;
class ShortcutRow;
}  // namespace KeyboardShortcuts

namespace tovrelle {
class ImageManager;
}

namespace tovrelle::settings {

class VideoDeviceView;

// The camera service's status as text, or for a failure: the message, the
// copyable diagnostic, and the remedies the failure names.
class CameraServiceStatusView : public QWidget {
  Q_OBJECT

 public:
  struct Actions {
    // The support page; none when its address cannot be formed.
    std::function<std::optional<QUrl>()> supportPage;
    std::function<void(const QUrl&)> openWebPage;
  };

  explicit CameraServiceStatusView(Actions actions, QWidget* parent = nullptr);

  // The words come from status_text (Place::settings); a failure adds its
  // diagnostic and remedies.
  void setStatus(const status_text::Situation& situation);

  // The status line, or the failure's first line and message.
  QLabel* textLabel() const { return text_; }
  // Present for failures only.
  QLabel* diagnosticLabel() const { return diagnostic_; }
  QLabel* supportLink() const { return supportLink_; }

 private:
  void clear();
  void showRows();

  Actions actions_;
  QVBoxLayout* layout_;
  QLabel* text_ = nullptr;
  QLabel* diagnostic_ = nullptr;
  QLabel* supportLink_ = nullptr;
};

class GeneralSettingsView : public QWidget {
  Q_OBJECT

 public:
  struct Environment {
    LoginItemManager* loginItemManager = nullptr;
    CameraServiceInstaller* serviceInstaller = nullptr;
    CameraPermission* cameraPermission = nullptr;
    // The application delegate's setup guide; nothing happens when empty.
    std::function<void()> showOnboarding;
    // Opens the support page in the browser.
    std::shared_ptr<urls::UrlOpener> opener;
    // webPageURL(path) by default.
    std::function<std::optional<QUrl>(const QString& path)> webPageURL;
    // Asks before the camera service is removed; a message box when empty.
    std::function<bool(QWidget* parent)> confirmRemoval;
    // The camera's /dev/video device; its row is left out when null.
    VideoDeviceStatus* videoDevice = nullptr;
    // Its file and whether it can be written (the warning row).
    Settings* settings = nullptr;
    // The global shortcuts the recorders show and store (required).
    KeyboardShortcuts::ShortcutRegistry* shortcuts = nullptr;
  };

  explicit GeneralSettingsView(Environment environment, QWidget* parent = nullptr);

  QCheckBox* launchAtLoginCheckBox() const { return launchAtLogin_; }
  CameraServiceStatusView* statusView() const { return status_; }
  QPushButton* reinstallButton() const { return reinstall_; }
  QPushButton* removeButton() const { return remove_; }
  // The camera's /dev/video device under the service's status; null without one.
  VideoDeviceView* videoDeviceView() const { return videoDevice_; }
  // The Camera permission section, shown only while access is refused.
  QWidget* cameraPermissionSection() const { return permissionSection_; }
  QPushButton* openCameraSettingsButton() const { return openCameraSettings_; }
  QPushButton* showOnboardingButton() const { return showOnboarding_; }
  const std::array<KeyboardShortcuts::ShortcutRow*, 3>& recorders() const { return recorders_; }
  // Shown while the session offers no global shortcuts.
  QLabel* shortcutsNote() const { return shortcutsNote_; }
  // Shown while the settings file cannot be written.
  QLabel* settingsStoreWarning() const { return storeWarning_; }
  // Shown while the desktop refuses one of the stored shortcuts.
  QLabel* refusedShortcutsWarning() const { return refusedWarning_; }
  // The section headers in order, as shown.
  QList<QLabel*> sectionHeaders() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* addSection(QVBoxLayout* form, const QString& header, QWidget* content);
  void redrawLoginItem();
  void redrawService();
  void redrawPermission();
  void redrawStoreWarning();
  void redrawRefusedShortcuts();

  Environment env_;
  QPointer<LoginItemManager> loginItemManager_;
  QPointer<CameraServiceInstaller> serviceInstaller_;
  QPointer<CameraPermission> cameraPermission_;

  QList<QLabel*> headers_;
  QCheckBox* launchAtLogin_ = nullptr;
  CameraServiceStatusView* status_ = nullptr;
  QPushButton* reinstall_ = nullptr;
  QPushButton* remove_ = nullptr;
  VideoDeviceView* videoDevice_ = nullptr;
  QWidget* permissionSection_ = nullptr;
  QPushButton* openCameraSettings_ = nullptr;
  QPushButton* showOnboarding_ = nullptr;
  std::array<KeyboardShortcuts::ShortcutRow*, 3> recorders_{};
  QLabel* shortcutsNote_ = nullptr;
  QLabel* storeWarning_ = nullptr;
  QLabel* refusedWarning_ = nullptr;
};

// The settings window's content for the application delegate: the tab
// controller on the image library, with a General tab on `general` (the
// site's addresses in the user's language when it names none).
QWidget* makeSettingsWindowContent(ImageManager& images, GeneralSettingsView::Environment general);

}  // namespace tovrelle::settings
