#pragma once
// The app's item in the panel: a mode icon, an accessibility label, a tool tip
// saying what the camera shows, a context menu, and a click that the delegate
// turns into the popover. The tray backend is a StatusNotifierItem of our own
// (platform/tray) where a panel hosts those, and QSystemTrayIcon's XEmbed icon
// otherwise; tests use a recording stand-in.
// Thread-bound (main thread), every class here: the tray backend's D-Bus calls
// and the models' signals arrive there.
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <functional>

class QActionGroup;
class QMenu;
class QSystemTrayIcon;

namespace tovrelle {
namespace tray {
class StatusNotifierItem;
}

class CameraDeviceManager;
class CameraFeedStatus;
class CameraManager;
class ImageManager;
class CameraServiceInstaller;

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // False when there is nothing to draw into.
  virtual bool hasButton() const = 0;
  // The icon shown, by its icon-theme name ("tovrelle-camera-on-symbolic");
  // empty shows nothing.
  virtual void setImage(const QString& iconName) = 0;
  virtual QString imageName() const = 0;
  virtual void setAccessibilityLabel(const QString& label) = 0;
  virtual QString accessibilityLabel() const = 0;
  virtual void setToolTip(const QString& toolTip) = 0;
  virtual QString toolTip() const = 0;
  // Where the item sits on screen, when the panel tells; while activated() is
  // being emitted for a click whose position the panel gave, that point (a
  // 1x1 rectangle). Empty otherwise.
  virtual QRect buttonGeometry() const = 0;
  // The menu a right click (or the panel's menu request) shows; not owned.
  virtual void setMenu(QMenu* menu) { (void)menu; }

 signals:
  // The user clicked the item.
  void activated();
};

// The system tray. Panels get the mode icon by theme name (installed in
// hicolor as symbolic SVGs) so they can colour it for themselves; only when
// no theme has it is a drawn icon sent, with a halo that keeps it visible on
// light and dark panels alike.
class DesktopTrayIcon final : public TrayIcon {
  Q_OBJECT

 public:
  explicit DesktopTrayIcon(QObject* parent = nullptr);
  ~DesktopTrayIcon() override;

  bool hasButton() const override { return true; }
  void setImage(const QString& iconName) override;
  QString imageName() const override { return imageName_; }
  void setAccessibilityLabel(const QString& label) override { accessibilityLabel_ = label; }
  QString accessibilityLabel() const override { return accessibilityLabel_; }
  void setToolTip(const QString& toolTip) override;
  QString toolTip() const override;
  QRect buttonGeometry() const override;
  void setMenu(QMenu* menu) override;

  // The icon sent for `iconName`: the theme's, else drawn from the app's own shape.
  static QIcon trayIcon(const QString& iconName);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void redraw();
  void dropFallback();

  tray::StatusNotifierItem* item_ = nullptr;
  // Only for panels that host XEmbed icons alone; gone once a watcher appears.
  QPointer<QSystemTrayIcon> tray_;
  QPointer<QMenu> menu_;
  QRect click_;
  QString toolTip_;
  QString imageName_;
  QString accessibilityLabel_;
};

// What the item says and offers besides its icon: the tool tip ("Camera off",
// "Camera: <name>" with a second line when no picture arrives, "Image: <name>") and the context menu (Camera Off,
// Camera On, the images, Settings…, Quit, checked as in the popover). Both follow the model while the app runs.
class TrayIconMenu : public QObject {
  Q_OBJECT

 public:
  struct Models {
    CameraManager* cameraManager = nullptr;
    ImageManager* imageManager = nullptr;
    CameraDeviceManager* cameraDevices = nullptr;
    // Why camera mode shows no picture; none leaves that line out.
    CameraFeedStatus* cameraFeed = nullptr;
    std::function<void()> openSettings;
    std::function<void()> quit;
  };

  TrayIconMenu(TrayIcon& item, Models models);
  ~TrayIconMenu() override;

  QMenu* menu() const { return menu_; }
  // From now on the tool tip also says when the user removed the camera
  // service. Later calls change nothing.
  void watchInstaller(CameraServiceInstaller& installer);
  // The tool tip for the models' current state.
  QString describe() const;

 private:
  void refresh();
  void rebuildMenu();

  QPointer<TrayIcon> item_;
  Models models_;
  QPointer<CameraServiceInstaller> installer_;
  QMenu* menu_;
  QPointer<QActionGroup> choices_;
  bool refreshPending_ = false;
};

}  // namespace tovrelle
