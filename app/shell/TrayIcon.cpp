#include "app/shell/TrayIcon.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QSystemTrayIcon>

#include "app/installer/CameraServiceInstaller.h"
#include "app/installer/StatusText.h"
#include "app/model/CameraDeviceManager.h"
#include "app/model/CameraFeedStatus.h"
#include "app/model/CameraManager.h"
#include "app/model/ImageManager.h"
#include "app/settings/Icons.h"
#include "platform/log/Log.h"
#include "platform/tray/StatusNotifierItem.h"

namespace tovrelle {
namespace {

// An installed copy next to the program (prefix/bin and prefix/share) counts
// as installed, so a build or an unpacked tree finds its own icons.
void addProgramIconFolder() {
  static const bool added = [] {
    const QString folder =
        QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../share/icons"));
    if (QDir(folder).exists() && !QIcon::themeSearchPaths().contains(folder)) {
      QStringList paths = QIcon::themeSearchPaths();
      paths.append(folder);
      QIcon::setThemeSearchPaths(paths);
    }
    return true;
  }();
  (void)added;
}

// The glyph in `ink` over a one-pixel halo of `halo`: readable on either kind
// of panel. Drawn from the app's own plain shape: the themed copies of the
// tray icons carry a light edge of their own, which would thicken the glyph.
QImage haloed(const QString& name, int side, const QColor& ink, const QColor& halo) {
  const int inner = side - 2;
  const QImage glyph = icons::bundledImage(name, QSize(inner, inner), ink);
  const QImage rim = icons::bundledImage(name, QSize(inner, inner), halo);
  if (glyph.isNull()) return {};
  QImage out(side, side, QImage::Format_ARGB32_Premultiplied);
  out.fill(Qt::transparent);
  QPainter p(&out);
  for (int dx = 0; dx <= 2; ++dx)
    for (int dy = 0; dy <= 2; ++dy)
      if (dx != 1 || dy != 1) p.drawImage(dx, dy, rim);
  p.drawImage(1, 1, glyph);
  p.end();
  return out;
}

QIcon drawnIcon(const QString& name) {
  // The app's own text colour decides nothing about the panel's; light ink on
  // a dark rim reads on both.
  QIcon icon;
  for (int side : {16, 22, 24, 32, 48, 64}) {
    const QImage img = haloed(name, side, QColor(0xf2, 0xf2, 0xf2), QColor(0x20, 0x20, 0x20, 200));
    if (!img.isNull()) icon.addPixmap(QPixmap::fromImage(img));
  }
  return icon;
}

}  // namespace

// ---- DesktopTrayIcon

namespace {

QString programIconFolder() {
  const QString folder =
      QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../share/icons"));
  return QDir(folder).exists() ? QDir::cleanPath(folder) : QString();
}

}  // namespace

DesktopTrayIcon::DesktopTrayIcon(QObject* parent) : TrayIcon(parent) {
  addProgramIconFolder();
  QDBusConnection bus = QDBusConnection::sessionBus();
  const bool watcher = tray::StatusNotifierItem::watcherPresent(bus);
  if (bus.isConnected()) {
    item_ = new tray::StatusNotifierItem(QStringLiteral("tovrelle"), bus, this);
    item_->setTitle(QStringLiteral("Tovrelle"));
    connect(item_, &tray::StatusNotifierItem::activated, this, [this](std::optional<QPoint> at) {
      // Only a position on some screen is one; the popover finds its own place otherwise.
      click_ = at && QGuiApplication::screenAt(*at) ? QRect(*at, QSize(1, 1)) : QRect();
      emit activated();
      click_ = QRect();
    });
    connect(item_, &tray::StatusNotifierItem::contextMenuRequested, this, [this](QPoint at) {
      if (menu_) menu_->popup(at);
    });
    connect(item_, &tray::StatusNotifierItem::registeredChanged, this, [this](bool registered) {
      if (registered) dropFallback();
    });
  }
  if (!watcher) {
    tray_ = new QSystemTrayIcon(this);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      if (reason == QSystemTrayIcon::Trigger) emit activated();
    });
  }
  // Say once what the item falls back to; a working StatusNotifierItem host needs no word.
  if (!watcher && !QSystemTrayIcon::isSystemTrayAvailable()) {
    log::processLog(
        "TrayIcon: no system tray on this desktop; the tray icon stays hidden (the shortcuts work, and "
        "starting tovrelle again opens the popover)");
  } else if (!watcher) {
    log::processLog(
        "TrayIcon: no StatusNotifierWatcher on the session bus; using the XEmbed system tray, where the panel "
        "does not recolour the icon");
  }
  // A new icon theme may now have (or lack) the icons.
  qApp->installEventFilter(this);
}

DesktopTrayIcon::~DesktopTrayIcon() {
  if (qApp) qApp->removeEventFilter(this);
}

void DesktopTrayIcon::dropFallback() {
  // A panel with a watcher came up: it shows our item, and an XEmbed icon would be a second one.
  if (tray_) tray_->deleteLater();
  tray_ = nullptr;
}

QIcon DesktopTrayIcon::trayIcon(const QString& iconName) {
  addProgramIconFolder();
  if (QIcon::hasThemeIcon(iconName)) return QIcon::fromTheme(iconName);
  static bool told = false;
  if (!told) {
    told = true;
    log::processLog("TrayIcon: no icon theme has %s; the tray shows a drawn icon instead", qPrintable(iconName));
  }
  return drawnIcon(iconName);
}

void DesktopTrayIcon::setImage(const QString& iconName) {
  imageName_ = iconName;
  redraw();
}

void DesktopTrayIcon::redraw() {
  const QIcon icon = imageName_.isEmpty() ? QIcon() : trayIcon(imageName_);
  if (item_) {
    // By name when a theme has it, so the panel can colour it; the drawn
    // pictures too, for panels that do not find the name where we say.
    QList<QImage> images;
    if (!imageName_.isEmpty()) {
      const QIcon drawn = icon.name().isEmpty() ? icon : drawnIcon(imageName_);
      for (const QSize& size : drawn.availableSizes()) images << drawn.pixmap(size).toImage();
    }
    item_->setIcon(icon.name(), programIconFolder(), images);
  }
  if (tray_) {
    tray_->setIcon(icon);
    // Shown once there is something to show; a tray item without an image is only a gap.
    tray_->setVisible(!imageName_.isEmpty());
  }
}

void DesktopTrayIcon::setToolTip(const QString& toolTip) {
  toolTip_ = toolTip;
  if (item_) item_->setToolTip(toolTip);
  if (tray_) tray_->setToolTip(toolTip);
}

QString DesktopTrayIcon::toolTip() const { return toolTip_; }

QRect DesktopTrayIcon::buttonGeometry() const {
  if (!click_.isEmpty()) return click_;
  return tray_ ? tray_->geometry() : QRect();
}

void DesktopTrayIcon::setMenu(QMenu* menu) {
  menu_ = menu;
  if (item_) item_->setMenu(menu);
  if (tray_) tray_->setContextMenu(menu);
}

bool DesktopTrayIcon::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::ThemeChange) redraw();
  return false;
}

// ---- TrayIconMenu

TrayIconMenu::TrayIconMenu(TrayIcon& item, Models models)
    : QObject(&item), item_(&item), models_(std::move(models)), menu_(new QMenu) {
  menu_->setObjectName(QStringLiteral("trayIconMenu"));
  auto soon = [this] {
    if (refreshPending_) return;
    refreshPending_ = true;
    QMetaObject::invokeMethod(
        this, [this] { refresh(); }, Qt::QueuedConnection);
  };
  if (auto* m = models_.cameraManager) {
    connect(m, &CameraManager::currentModeChanged, this, soon);
    connect(m, &CameraManager::selectedImageIdChanged, this, soon);
    connect(m, &CameraManager::selectedCameraIdChanged, this, soon);
  }
  if (auto* m = models_.imageManager) connect(m, &ImageManager::savedImagesChanged, this, soon);
  if (auto* m = models_.cameraDevices) connect(m, &CameraDeviceManager::camerasChanged, this, soon);
  if (auto* m = models_.cameraFeed) connect(m, &CameraFeedStatus::changed, this, soon);
  refresh();
  item.setMenu(menu_);
}

TrayIconMenu::~TrayIconMenu() {
  if (item_) item_->setMenu(nullptr);
  delete menu_;
}

QString TrayIconMenu::describe() const {
  const CameraManager* camera = models_.cameraManager;
  if (!camera) return QStringLiteral("Tovrelle");
  switch (camera->currentMode()) {
    case CameraMode::off:
      //: Tray icon tool tip while the virtual camera is off
      return qtTrId("trayIcon.toolTip.off");
    case CameraMode::camera: {
      //: Default (system default) camera option
      QString name = qtTrId("camera.default");
      if (const auto& id = camera->selectedCameraId(); id && models_.cameraDevices)
        for (const CameraInfo& info : models_.cameraDevices->cameras())
          if (info.id == *id) name = QString::fromStdString(info.name);
      //: Tray icon tool tip while the virtual camera passes a camera through; %1 is the camera's name
      QString text = qtTrId("trayIcon.toolTip.camera").arg(name);
      if (models_.cameraFeed && models_.cameraFeed->problem() != CameraFeedStatus::Problem::none)
        text += QLatin1Char('\n') + models_.cameraFeed->text();
      return text;
    }
    case CameraMode::image: {
      if (const auto& id = camera->selectedImageId(); id && models_.imageManager)
        for (const SavedImage& image : models_.imageManager->savedImages())
          if (image.id == *id)
            //: Tray icon tool tip while the virtual camera shows an image; %1 is the image's name
            return qtTrId("trayIcon.toolTip.image").arg(QString::fromStdString(image.name));
      //: Tray icon accessibility label
      return qtTrId("a11y.trayIcon.image");
    }
  }
  return {};
}

void TrayIconMenu::watchInstaller(CameraServiceInstaller& installer) {
  if (installer_) return;
  installer_ = &installer;
  connect(&installer, &CameraServiceInstaller::statusChanged, this, [this] {
    if (refreshPending_) return;
    refreshPending_ = true;
    QMetaObject::invokeMethod(
        this, [this] { refresh(); }, Qt::QueuedConnection);
  });
  refresh();
}

void TrayIconMenu::refresh() {
  refreshPending_ = false;
  QString text = describe();
  if (const auto* installer = installer_.data()) {
    const QString service = status_text::service(status_text::Place::toolTip, status_text::Situation::of(*installer));
    if (!service.isEmpty()) text += QLatin1Char('\n') + service;
  }
  if (item_) item_->setToolTip(text);
  rebuildMenu();
}

void TrayIconMenu::rebuildMenu() {
  menu_->clear();
  CameraManager* camera = models_.cameraManager;
  const CameraMode mode = camera ? camera->currentMode() : CameraMode::off;
  QPointer<CameraManager> target(camera);
  // One group: off, on and the images are one choice, shown as radio items
  // (a panel's menu gets them as such through the exclusive group).
  delete choices_.data();
  auto* choices = new QActionGroup(menu_);
  choices_ = choices;
  choices->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  auto addCheckable = [this, choices](const QString& title, bool checked) {
    QAction* action = menu_->addAction(title);
    action->setCheckable(true);
    action->setChecked(checked);
    choices->addAction(action);
    return action;
  };
  //: Turn the virtual camera off
  connect(addCheckable(qtTrId("menu.cameraOff"), mode == CameraMode::off), &QAction::triggered, this, [target] {
    if (target) target->turnOff();
  });
  //: Turn the virtual camera on
  connect(addCheckable(qtTrId("menu.cameraOn"), mode == CameraMode::camera), &QAction::triggered, this, [target] {
    if (target) target->turnOn();
  });
  if (models_.imageManager && !models_.imageManager->savedImages().empty()) {
    menu_->addSeparator();
    const auto selected = camera ? camera->selectedImageId() : std::nullopt;
    for (const SavedImage& image : models_.imageManager->savedImages()) {
      // Names are the user's: an "&" is shown, not taken as a mnemonic.
      QString title = QString::fromStdString(image.name);
      title.replace(QLatin1Char('&'), QStringLiteral("&&"));
      QAction* action = addCheckable(title, mode == CameraMode::image && selected && *selected == image.id);
      connect(action, &QAction::triggered, this, [target, id = image.id] {
        if (target) target->selectImage(id);
      });
    }
  }
  menu_->addSeparator();
  //: Open the settings window
  connect(menu_->addAction(qtTrId("menu.settings")), &QAction::triggered, this, [this] {
    if (models_.openSettings) models_.openSettings();
  });
  //: Quit the app
  connect(menu_->addAction(qtTrId("menu.quit")), &QAction::triggered, this, [this] {
    if (models_.quit) models_.quit();
  });
}

}  // namespace tovrelle
