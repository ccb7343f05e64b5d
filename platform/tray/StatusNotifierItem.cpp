#include "platform/tray/StatusNotifierItem.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEvent>
#include <QMenu>
#include <QtEndian>

// ---- The wire types of the two interfaces

struct SniPixmap {
  int width = 0;
  int height = 0;
  QByteArray argb;  // ARGB32, network byte order
};
using SniPixmaps = QList<SniPixmap>;

struct SniToolTip {
  QString iconName;
  SniPixmaps pixmaps;
  QString title;
  QString text;
};

struct MenuLayout {
  int id = 0;
  QVariantMap properties;
  QList<MenuLayout> children;
};

struct MenuItemProperties {
  int id = 0;
  QVariantMap properties;
};
using MenuItemPropertiesList = QList<MenuItemProperties>;

struct MenuItemKeys {
  int id = 0;
  QStringList names;
};
using MenuItemKeysList = QList<MenuItemKeys>;

struct MenuEvent {
  int id = 0;
  QString eventId;
  QDBusVariant data;
  uint timestamp = 0;
};
using MenuEventList = QList<MenuEvent>;

Q_DECLARE_METATYPE(SniPixmap)
Q_DECLARE_METATYPE(SniToolTip)
Q_DECLARE_METATYPE(MenuLayout)
Q_DECLARE_METATYPE(MenuItemProperties)
Q_DECLARE_METATYPE(MenuItemKeys)
Q_DECLARE_METATYPE(MenuEvent)

QDBusArgument& operator<<(QDBusArgument& arg, const SniPixmap& p) {
  arg.beginStructure();
  arg << p.width << p.height << p.argb;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, SniPixmap& p) {
  arg.beginStructure();
  arg >> p.width >> p.height >> p.argb;
  arg.endStructure();
  return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const SniToolTip& t) {
  arg.beginStructure();
  arg << t.iconName << t.pixmaps << t.title << t.text;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, SniToolTip& t) {
  arg.beginStructure();
  arg >> t.iconName >> t.pixmaps >> t.title >> t.text;
  arg.endStructure();
  return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuLayout& m) {
  arg.beginStructure();
  arg << m.id << m.properties;
  arg.beginArray(qMetaTypeId<QDBusVariant>());
  for (const MenuLayout& child : m.children) arg << QDBusVariant(QVariant::fromValue(child));
  arg.endArray();
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuLayout& m) {
  arg.beginStructure();
  arg >> m.id >> m.properties;
  arg.beginArray();
  while (!arg.atEnd()) {
    QDBusVariant child;
    arg >> child;
    MenuLayout layout;
    child.variant().value<QDBusArgument>() >> layout;
    m.children << layout;
  }
  arg.endArray();
  arg.endStructure();
  return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemProperties& m) {
  arg.beginStructure();
  arg << m.id << m.properties;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemProperties& m) {
  arg.beginStructure();
  arg >> m.id >> m.properties;
  arg.endStructure();
  return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemKeys& m) {
  arg.beginStructure();
  arg << m.id << m.names;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemKeys& m) {
  arg.beginStructure();
  arg >> m.id >> m.names;
  arg.endStructure();
  return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuEvent& m) {
  arg.beginStructure();
  arg << m.id << m.eventId << m.data << m.timestamp;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuEvent& m) {
  arg.beginStructure();
  arg >> m.id >> m.eventId >> m.data >> m.timestamp;
  arg.endStructure();
  return arg;
}

namespace tovrelle::tray {
namespace {

constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";

void registerTypes() {
  static const bool done = [] {
    qDBusRegisterMetaType<SniPixmap>();
    qDBusRegisterMetaType<SniPixmaps>();
    qDBusRegisterMetaType<SniToolTip>();
    qDBusRegisterMetaType<MenuLayout>();
    qDBusRegisterMetaType<MenuItemProperties>();
    qDBusRegisterMetaType<MenuItemPropertiesList>();
    qDBusRegisterMetaType<MenuItemKeys>();
    qDBusRegisterMetaType<MenuItemKeysList>();
    qDBusRegisterMetaType<MenuEvent>();
    qDBusRegisterMetaType<MenuEventList>();
    qDBusRegisterMetaType<QList<int>>();
    return true;
  }();
  (void)done;
}

SniPixmap toPixmap(const QImage& image) {
  const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
  SniPixmap p;
  p.width = argb.width();
  p.height = argb.height();
  p.argb.resize(qsizetype(p.width) * p.height * 4);
  auto* out = reinterpret_cast<quint32*>(p.argb.data());
  for (int y = 0; y < p.height; ++y) {
    const auto* line = reinterpret_cast<const quint32*>(argb.constScanLine(y));
    for (int x = 0; x < p.width; ++x) *out++ = qToBigEndian(line[x]);
  }
  return p;
}

// Qt marks mnemonics with "&" ("&&" for a literal one); the menu protocol with "_".
QString menuLabel(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c == QLatin1Char('&')) {
      if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('&')) {
        out += QLatin1Char('&');
        ++i;
      } else if (i + 1 < text.size()) {
        out += QLatin1Char('_');
      }
    } else if (c == QLatin1Char('_')) {
      out += QStringLiteral("__");
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

// ---- org.kde.StatusNotifierItem

class ItemAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
  Q_PROPERTY(QString Category READ category)
  Q_PROPERTY(QString Id READ id)
  Q_PROPERTY(QString Title READ title)
  Q_PROPERTY(QString Status READ status)
  Q_PROPERTY(int WindowId READ windowId)
  Q_PROPERTY(QString IconName READ iconName)
  Q_PROPERTY(QString IconThemePath READ iconThemePath)
  Q_PROPERTY(QList<SniPixmap> IconPixmap READ iconPixmap)
  Q_PROPERTY(QString OverlayIconName READ empty)
  Q_PROPERTY(QList<SniPixmap> OverlayIconPixmap READ noPixmaps)
  Q_PROPERTY(QString AttentionIconName READ empty)
  Q_PROPERTY(QList<SniPixmap> AttentionIconPixmap READ noPixmaps)
  Q_PROPERTY(QString AttentionMovieName READ empty)
  Q_PROPERTY(SniToolTip ToolTip READ toolTip)
  Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
  Q_PROPERTY(QDBusObjectPath Menu READ menu)

 public:
  ItemAdaptor(QObject* object, StatusNotifierItem& owner) : QDBusAbstractAdaptor(object), owner_(owner) {
    setAutoRelaySignals(false);
  }

  QString category() const { return QStringLiteral("ApplicationStatus"); }
  QString id() const { return owner_.id_; }
  QString title() const { return owner_.title_; }
  QString status() const {
    return owner_.iconName_.isEmpty() && owner_.images_.isEmpty() ? QStringLiteral("Passive")
                                                                  : QStringLiteral("Active");
  }
  int windowId() const { return 0; }
  QString iconName() const { return owner_.iconName_; }
  QString iconThemePath() const { return owner_.iconThemePath_; }
  QList<SniPixmap> iconPixmap() const {
    QList<SniPixmap> out;
    for (const QImage& image : owner_.images_) out << toPixmap(image);
    return out;
  }
  QString empty() const { return {}; }
  QList<SniPixmap> noPixmaps() const { return {}; }
  SniToolTip toolTip() const {
    SniToolTip t;
    t.title = owner_.toolTip_;
    return t;
  }
  bool itemIsMenu() const { return false; }
  QDBusObjectPath menu() const { return QDBusObjectPath(QString::fromLatin1(kMenuPath)); }

 public slots:
  void Activate(int x, int y) {
    emit owner_.activated(x == 0 && y == 0 ? std::nullopt : std::optional<QPoint>(QPoint(x, y)));
  }
  void SecondaryActivate(int, int) {}
  void ContextMenu(int x, int y) { emit owner_.contextMenuRequested(QPoint(x, y)); }
  void Scroll(int, const QString&) {}

 signals:
  void NewTitle();
  void NewIcon();
  void NewAttentionIcon();
  void NewOverlayIcon();
  void NewToolTip();
  void NewStatus(const QString& status);
  void NewMenu();

 private:
  StatusNotifierItem& owner_;
};

// ---- com.canonical.dbusmenu, from a QMenu

class MenuAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
  Q_PROPERTY(uint Version READ version)
  Q_PROPERTY(QString TextDirection READ textDirection)
  Q_PROPERTY(QString Status READ status)
  Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

 public:
  explicit MenuAdaptor(QObject* object) : QDBusAbstractAdaptor(object) { setAutoRelaySignals(false); }

  uint version() const { return 3; }
  QString textDirection() const {
    return QCoreApplication::instance() && qApp->property("layoutDirection").toInt() == Qt::RightToLeft
               ? QStringLiteral("rtl")
               : QStringLiteral("ltr");
  }
  QString status() const { return QStringLiteral("normal"); }
  QStringList iconThemePath() const { return {}; }

  void setMenu(QMenu* menu) {
    if (menu_) menu_->removeEventFilter(this);
    menu_ = menu;
    if (menu_) watch(menu_);
    changed();
  }

 public slots:
  uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames, MenuLayout& layout) {
    layout = layoutOf(parentId, recursionDepth, propertyNames);
    return revision_;
  }
  QList<MenuItemProperties> GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames) {
    QList<MenuItemProperties> out;
    for (int id : ids) {
      if (id == 0) {
        out << MenuItemProperties{0, filtered(rootProperties(), propertyNames)};
      } else if (QAction* action = actions_.value(id)) {
        out << MenuItemProperties{id, filtered(properties(action), propertyNames)};
      }
    }
    return out;
  }
  QDBusVariant GetProperty(int id, const QString& name) {
    const QVariantMap props = id == 0              ? rootProperties()
                              : actions_.value(id) ? properties(actions_.value(id))
                                                   : QVariantMap();
    return QDBusVariant(props.value(name));
  }
  void Event(int id, const QString& eventId, const QDBusVariant&, uint) {
    if (eventId != QLatin1String("clicked")) return;
    QAction* action = actions_.value(id);
    // After the reply: the choice may rebuild the menu this call walks.
    if (action && action->isEnabled()) QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
  }
  QList<int> EventGroup(const QList<MenuEvent>& events) {
    QList<int> unknown;
    for (const MenuEvent& e : events) {
      if (e.id != 0 && !actions_.value(e.id))
        unknown << e.id;
      else
        Event(e.id, e.eventId, e.data, e.timestamp);
    }
    return unknown;
  }
  bool AboutToShow(int) { return false; }
  QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    for (int id : ids)
      if (id != 0 && !actions_.value(id)) idErrors << id;
    return {};
  }

 signals:
  void ItemsPropertiesUpdated(const QList<MenuItemProperties>& updated, const QList<MenuItemKeys>& removed);
  void LayoutUpdated(uint revision, int parent);
  void ItemActivationRequested(int id, uint timestamp);

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
      case QEvent::ActionAdded:
      case QEvent::ActionRemoved:
      case QEvent::ActionChanged: changed(); break;
      default: break;
    }
    return false;
  }

 private:
  void watch(QMenu* menu) {
    menu->removeEventFilter(this);
    menu->installEventFilter(this);
  }

  // Menus change in bursts (cleared and refilled): one update for the lot.
  void changed() {
    if (pending_) return;
    pending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          pending_ = false;
          ++revision_;
          emit LayoutUpdated(revision_, 0);
        },
        Qt::QueuedConnection);
  }

  int idOf(QAction* action) {
    if (const int id = ids_.value(action)) return id;
    const int id = ++lastId_;
    ids_.insert(action, id);
    actions_.insert(id, action);
    connect(action, &QObject::destroyed, this, [this, action, id] {
      ids_.remove(action);
      actions_.remove(id);
    });
    return id;
  }

  static QVariantMap rootProperties() { return {{QStringLiteral("children-display"), QStringLiteral("submenu")}}; }

  static QVariantMap properties(QAction* action) {
    QVariantMap p;
    if (action->isSeparator()) {
      p.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
      p.insert(QStringLiteral("label"), menuLabel(action->text()));
      if (!action->icon().name().isEmpty()) p.insert(QStringLiteral("icon-name"), action->icon().name());
      if (action->isCheckable()) {
        // Either-or choices (an exclusive group) read as radio items.
        const QActionGroup* group = action->actionGroup();
        const bool radio = group && group->exclusionPolicy() != QActionGroup::ExclusionPolicy::None;
        p.insert(QStringLiteral("toggle-type"), radio ? QStringLiteral("radio") : QStringLiteral("checkmark"));
        p.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
      }
      if (action->menu()) p.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    }
    if (!action->isEnabled()) p.insert(QStringLiteral("enabled"), false);
    if (!action->isVisible()) p.insert(QStringLiteral("visible"), false);
    return p;
  }

  static QVariantMap filtered(const QVariantMap& all, const QStringList& names) {
    if (names.isEmpty()) return all;
    QVariantMap out;
    for (const QString& name : names)
      if (all.contains(name)) out.insert(name, all.value(name));
    return out;
  }

  MenuLayout layoutOf(int id, int depth, const QStringList& names) {
    MenuLayout layout;
    layout.id = id;
    QMenu* menu = nullptr;
    if (id == 0) {
      layout.properties = filtered(rootProperties(), names);
      menu = menu_;
    } else if (QAction* action = actions_.value(id)) {
      layout.properties = filtered(properties(action), names);
      menu = action->menu();
    } else {
      return layout;
    }
    if (!menu || depth == 0) return layout;
    watch(menu);
    for (QAction* child : menu->actions()) layout.children << layoutOf(idOf(child), depth < 0 ? -1 : depth - 1, names);
    return layout;
  }

  QPointer<QMenu> menu_;
  QHash<QAction*, int> ids_;
  QHash<int, QPointer<QAction>> actions_;
  int lastId_ = 0;
  uint revision_ = 1;
  bool pending_ = false;
};

// ---- StatusNotifierItem

StatusNotifierItem::StatusNotifierItem(const QString& id, QDBusConnection bus, QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      itemObject_(new QObject(this)),
      menuObject_(new QObject(this)),
      id_(id),
      title_(id) {
  registerTypes();
  item_ = new ItemAdaptor(itemObject_, *this);
  menu_ = new MenuAdaptor(menuObject_);
  static int count = 0;
  serviceName_ =
      QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(QCoreApplication::applicationPid()).arg(++count);
  if (!bus_.isConnected()) return;
  bus_.registerObject(QString::fromLatin1(kItemPath), itemObject_, QDBusConnection::ExportAdaptors);
  bus_.registerObject(QString::fromLatin1(kMenuPath), menuObject_, QDBusConnection::ExportAdaptors);
  bus_.registerService(serviceName_);
  // A panel restarting brings a new watcher, which knows no items yet.
  auto* watcher =
      new QDBusServiceWatcher(QString::fromLatin1(kWatcher), bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
          [this](const QString&, const QString&, const QString& newOwner) {
            if (registered_) {
              registered_ = false;
              emit registeredChanged(false);
            }
            if (!newOwner.isEmpty()) registerWithWatcher();
          });
  if (watcherPresent(bus_)) registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem() {
  if (!bus_.isConnected()) return;
  bus_.unregisterService(serviceName_);
  bus_.unregisterObject(QString::fromLatin1(kMenuPath));
  bus_.unregisterObject(QString::fromLatin1(kItemPath));
}

bool StatusNotifierItem::watcherPresent(const QDBusConnection& bus) {
  return bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(QString::fromLatin1(kWatcher));
}

void StatusNotifierItem::registerWithWatcher() {
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromLatin1(kWatcher), QStringLiteral("/StatusNotifierWatcher"),
                                     QString::fromLatin1(kWatcher), QStringLiteral("RegisterStatusNotifierItem"));
  call << serviceName_;
  auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
    done->deleteLater();
    if (done->isError() || registered_) return;
    registered_ = true;
    emit registeredChanged(true);
  });
}

void StatusNotifierItem::setTitle(const QString& title) {
  if (title == title_) return;
  title_ = title;
  emit item_->NewTitle();
}

void StatusNotifierItem::setIcon(const QString& themeName, const QString& themePath, const QList<QImage>& images) {
  const QString before = item_->status();
  iconName_ = themeName;
  iconThemePath_ = themePath;
  images_ = images;
  emit item_->NewIcon();
  if (item_->status() != before) emit item_->NewStatus(item_->status());
}

void StatusNotifierItem::setToolTip(const QString& text) {
  if (text == toolTip_) return;
  toolTip_ = text;
  emit item_->NewToolTip();
}

void StatusNotifierItem::setMenu(QMenu* menu) { menu_->setMenu(menu); }

}  // namespace tovrelle::tray

#include "StatusNotifierItem.moc"
