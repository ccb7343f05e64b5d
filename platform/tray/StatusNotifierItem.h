#pragma once
// The app's tray item as a StatusNotifierItem of its own on the session bus,
// with its context menu exported as a com.canonical.dbusmenu. Unlike
// QSystemTrayIcon it keeps the position the panel sends with a click, so the
// popover can open where the user clicked.
// Thread-bound (main thread): the bus delivers the panel's calls to its
// adaptors there, where the menu's actions live.
#include <QDBusConnection>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <optional>

class QAction;
class QMenu;

namespace tovrelle::tray {

class ItemAdaptor;
class MenuAdaptor;

class StatusNotifierItem : public QObject {
  Q_OBJECT

 public:
  // `id` names the app to the panel (the Id property).
  explicit StatusNotifierItem(const QString& id, QDBusConnection bus = QDBusConnection::sessionBus(),
                              QObject* parent = nullptr);
  ~StatusNotifierItem() override;

  // Whether a StatusNotifierWatcher runs on `bus` right now.
  static bool watcherPresent(const QDBusConnection& bus);

  // The watcher took the item (it re-registers whenever a watcher appears).
  bool isRegistered() const { return registered_; }
  QString serviceName() const { return serviceName_; }

  void setTitle(const QString& title);
  // The icon by theme name (searched also in `themePath`), and as images for
  // panels that find no such name. No name and no images make the item passive.
  void setIcon(const QString& themeName, const QString& themePath, const QList<QImage>& images);
  void setToolTip(const QString& text);
  // Exported as the item's menu; not owned, may be null.
  void setMenu(QMenu* menu);

 signals:
  // A click, with the position the panel gave in screen coordinates; none
  // when it gave 0,0.
  void activated(std::optional<QPoint> at);
  // The panel asks the item to show its menu itself (it has no menu support).
  void contextMenuRequested(QPoint at);
  void registeredChanged(bool registered);

 private:
  friend class ItemAdaptor;
  friend class MenuAdaptor;
  void registerWithWatcher();

  QDBusConnection bus_;
  QString serviceName_;
  QObject* itemObject_;
  QObject* menuObject_;
  ItemAdaptor* item_;
  MenuAdaptor* menu_;
  bool registered_ = false;

  QString id_;
  QString title_;
  QString iconName_;
  QString iconThemePath_;
  QList<QImage> images_;
  QString toolTip_;
};

}  // namespace tovrelle::tray
