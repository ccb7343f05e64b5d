// The tray backend on a private session bus, read by a panel of the test's
// own on a second connection: the menu as com.canonical.dbusmenu (labels,
// check boxes, radio items, disabled and hidden entries, submenus, clicks,
// layout updates) and the item's clicks, positions and drawn icon.
#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QImage>
#include <QMenu>
#include <map>
#include <memory>
#include <optional>

#include "platform/tray/StatusNotifierItem.h"
#include "tests/shell/EventLoopWait.h"
#include "tests/support/Services.h"

using tovrelle::test::PrivateSession;
using tovrelle::test::waitUntil;
using tovrelle::tray::StatusNotifierItem;

namespace {

PrivateSession* session = nullptr;

// An entry of EventGroup's (isvu) list, as a panel sends it.
struct PanelEvent {
  int id = 0;
  QString eventId;
  QDBusVariant data;
  uint timestamp = 0;
};

QDBusArgument& operator<<(QDBusArgument& arg, const PanelEvent& e) {
  arg.beginStructure();
  arg << e.id << e.eventId << e.data << e.timestamp;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, PanelEvent& e) {
  arg.beginStructure();
  arg >> e.id >> e.eventId >> e.data >> e.timestamp;
  arg.endStructure();
  return arg;
}

class LayoutListener : public QObject {
  Q_OBJECT

 public:
  std::vector<uint> revisions;

 public slots:
  void layoutUpdated(uint revision, int) { revisions.push_back(revision); }
};

struct Entry {
  int id = 0;
  QVariantMap properties;
  std::vector<Entry> children;
};

Entry readEntry(const QDBusArgument& arg) {
  Entry e;
  arg.beginStructure();
  arg >> e.id >> e.properties;
  arg.beginArray();
  while (!arg.atEnd()) {
    QDBusVariant child;
    arg >> child;
    e.children.push_back(readEntry(child.variant().value<QDBusArgument>()));
  }
  arg.endArray();
  arg.endStructure();
  return e;
}

class TrayExport : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(
        QString::fromStdString(session->env().at("DBUS_SESSION_BUS_ADDRESS")), QStringLiteral("panel")));
    ASSERT_TRUE(host_->isConnected());
    item_ = std::make_unique<StatusNotifierItem>(QStringLiteral("test"));
    menu_ = std::make_unique<QMenu>();
    item_->setMenu(menu_.get());
  }
  void TearDown() override {
    item_.reset();
    menu_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
  }

  // The exporting side shares this thread: wait with the event loop turning.
  QDBusMessage call(const QString& path, const QString& interface, const QString& method, const QVariantList& args) {
    QDBusMessage message = QDBusMessage::createMethodCall(item_->serviceName(), path, interface, method);
    message.setArguments(args);
    QDBusPendingCall pending = host_->asyncCall(message, 5000);
    waitUntil([&] { return pending.isFinished(); });
    return pending.reply();
  }
  QDBusMessage menuCall(const QString& method, const QVariantList& args) {
    return call("/MenuBar", "com.canonical.dbusmenu", method, args);
  }
  QVariant property(const QString& name) {
    const QDBusMessage reply = call("/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                                    {QStringLiteral("org.kde.StatusNotifierItem"), name});
    return reply.arguments().isEmpty() ? QVariant() : reply.arguments().first().value<QDBusVariant>().variant();
  }
  Entry layout(int parent = 0, int depth = -1) {
    const QDBusMessage reply = menuCall("GetLayout", {parent, depth, QStringList()});
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    if (reply.arguments().size() < 2) return {};
    return readEntry(reply.arguments().at(1).value<QDBusArgument>());
  }

  std::unique_ptr<QDBusConnection> host_;
  std::unique_ptr<StatusNotifierItem> item_;
  std::unique_ptr<QMenu> menu_;
};

TEST_F(TrayExport, EveryCallAndSignalAPanelUsesIsOffered) {
  const QString menu =
      call("/MenuBar", "org.freedesktop.DBus.Introspectable", "Introspect", {}).arguments().value(0).toString();
  for (const char* name :
       {R"(<method name="GetLayout">)", R"(<method name="GetGroupProperties">)", R"(<method name="GetProperty">)",
        R"(<method name="Event">)", R"(<method name="EventGroup">)", R"(<method name="AboutToShow">)",
        R"(<method name="AboutToShowGroup">)", R"(<signal name="LayoutUpdated">)",
        R"(<signal name="ItemsPropertiesUpdated">)"})
    EXPECT_TRUE(menu.contains(QLatin1String(name))) << name;
  const QString item = call("/StatusNotifierItem", "org.freedesktop.DBus.Introspectable", "Introspect", {})
                           .arguments()
                           .value(0)
                           .toString();
  for (const char* name :
       {R"(<method name="Activate">)", R"(<method name="SecondaryActivate">)", R"(<method name="ContextMenu">)",
        R"(<method name="Scroll">)", R"(<signal name="NewIcon">)", R"(<signal name="NewToolTip">)",
        R"(<signal name="NewStatus">)", R"X(<property name="IconPixmap" type="a(iiay)")X",
        R"X(<property name="ToolTip" type="(sa(iiay)ss)")X"})
    EXPECT_TRUE(item.contains(QLatin1String(name))) << name;
}

TEST_F(TrayExport, TheMenuReadsAsAPanelShowsIt) {
  menu_->addAction(QStringLiteral("&Open"));
  menu_->addAction(QStringLiteral("Salt && pepper_mill"));
  QAction* remember = menu_->addAction(QStringLiteral("Remember"));
  remember->setCheckable(true);
  remember->setChecked(true);
  menu_->addAction(QStringLiteral("Busy"))->setEnabled(false);
  menu_->addAction(QStringLiteral("Secret"))->setVisible(false);
  menu_->addSeparator();
  auto* group = new QActionGroup(menu_.get());
  group->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  for (const char* name : {"Left", "Right"}) {
    QAction* choice = menu_->addAction(QString::fromLatin1(name));
    choice->setCheckable(true);
    choice->setChecked(QLatin1String(name) == QLatin1String("Left"));
    group->addAction(choice);
  }
  QMenu* more = menu_->addMenu(QStringLiteral("More"));
  more->addAction(QStringLiteral("Deeper"));

  const Entry root = layout();
  EXPECT_EQ(root.properties.value("children-display").toString(), "submenu");
  ASSERT_EQ(root.children.size(), 9u);
  auto prop = [&](size_t i, const char* key) { return root.children[i].properties.value(key); };
  EXPECT_EQ(prop(0, "label").toString(), "_Open");
  EXPECT_EQ(prop(1, "label").toString(), "Salt & pepper__mill");
  EXPECT_FALSE(root.children[0].properties.contains("toggle-type"));
  EXPECT_EQ(prop(2, "toggle-type").toString(), "checkmark");
  EXPECT_EQ(prop(2, "toggle-state").toInt(), 1);
  EXPECT_EQ(prop(3, "enabled").toBool(), false);
  EXPECT_EQ(prop(4, "visible").toBool(), false);
  EXPECT_EQ(prop(5, "type").toString(), "separator");
  EXPECT_EQ(prop(6, "toggle-type").toString(), "radio");
  EXPECT_EQ(prop(6, "toggle-state").toInt(), 1);
  EXPECT_EQ(prop(7, "toggle-type").toString(), "radio");
  EXPECT_EQ(prop(7, "toggle-state").toInt(), 0);
  EXPECT_EQ(prop(8, "children-display").toString(), "submenu");
  ASSERT_EQ(root.children[8].children.size(), 1u);
  EXPECT_EQ(root.children[8].children[0].properties.value("label").toString(), "Deeper");

  // One level only; then the submenu on its own.
  EXPECT_TRUE(layout(0, 1).children[8].children.empty());
  EXPECT_EQ(layout(root.children[8].id).children.size(), 1u);

  // Properties by id, filtered by name.
  const int right = root.children[7].id;
  QDBusMessage reply = menuCall("GetGroupProperties", {QVariant::fromValue(QList<int>{right}), QStringList{"label"}});
  ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
  const QDBusArgument group_ = reply.arguments().at(0).value<QDBusArgument>();
  group_.beginArray();
  ASSERT_FALSE(group_.atEnd());
  int id = 0;
  QVariantMap props;
  group_.beginStructure();
  group_ >> id >> props;
  group_.endStructure();
  EXPECT_EQ(id, right);
  EXPECT_EQ(props, (QVariantMap{{"label", "Right"}}));
  reply = menuCall("GetProperty", {root.children[6].id, QStringLiteral("toggle-state")});
  ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(reply.arguments().at(0).value<QDBusVariant>().variant().toInt(), 1);
}

TEST_F(TrayExport, ClicksTriggerTheEntryAndChangesAreAnnounced) {
  int opened = 0, busy = 0;
  QObject::connect(menu_->addAction(QStringLiteral("Open")), &QAction::triggered, [&] { ++opened; });
  QAction* disabled = menu_->addAction(QStringLiteral("Busy"));
  disabled->setEnabled(false);
  QObject::connect(disabled, &QAction::triggered, [&] { ++busy; });
  const Entry root = layout();
  ASSERT_EQ(root.children.size(), 2u);
  const int open = root.children[0].id;

  auto event = [&](int id) {
    return menuCall("Event", {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u}).type();
  };
  EXPECT_EQ(event(open), QDBusMessage::ReplyMessage);
  EXPECT_TRUE(waitUntil([&] { return opened == 1; }));
  EXPECT_EQ(event(root.children[1].id), QDBusMessage::ReplyMessage);
  // Several at once; the ids it does not know come back. The disabled entry
  // was clicked before "Open" was clicked again, so it had its chance.
  const QDBusMessage reply =
      menuCall("EventGroup", {QVariant::fromValue(QList<PanelEvent>{{open, "clicked", QDBusVariant(0), 0},
                                                                    {9999, "clicked", QDBusVariant(0), 0}})});
  ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
  EXPECT_EQ(qdbus_cast<QList<int>>(reply.arguments().at(0)), QList<int>{9999});
  EXPECT_TRUE(waitUntil([&] { return opened == 2; }));
  EXPECT_EQ(busy, 0) << "a disabled entry does nothing";

  // A changed menu is announced with a new revision, which GetLayout then returns.
  LayoutListener listener;
  ASSERT_TRUE(host_->connect(item_->serviceName(), "/MenuBar", "com.canonical.dbusmenu", "LayoutUpdated", &listener,
                             SLOT(layoutUpdated(uint, int))));
  const uint before = menuCall("GetLayout", {0, -1, QStringList()}).arguments().value(0).toUInt();
  menu_->addAction(QStringLiteral("Later"));
  ASSERT_TRUE(waitUntil([&] { return !listener.revisions.empty(); }));
  EXPECT_GT(listener.revisions.back(), before);
  EXPECT_EQ(menuCall("GetLayout", {0, -1, QStringList()}).arguments().value(0).toUInt(), listener.revisions.back());
  EXPECT_EQ(layout().children.size(), 3u);
  // Entries keep their ids across changes.
  EXPECT_EQ(layout().children[0].id, open);
}

TEST_F(TrayExport, TheItemPassesOnClicksWithTheirPositionAndItsIcon) {
  std::vector<std::optional<QPoint>> clicks;
  std::vector<QPoint> menus;
  QObject::connect(item_.get(), &StatusNotifierItem::activated,
                   [&](std::optional<QPoint> at) { clicks.push_back(at); });
  QObject::connect(item_.get(), &StatusNotifierItem::contextMenuRequested, [&](QPoint at) { menus.push_back(at); });
  call("/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", {10, 20});
  call("/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", {0, 0});
  call("/StatusNotifierItem", "org.kde.StatusNotifierItem", "ContextMenu", {5, 6});
  ASSERT_TRUE(waitUntil([&] { return clicks.size() == 2 && menus.size() == 1; }));
  EXPECT_EQ(clicks[0], std::optional<QPoint>(QPoint(10, 20)));
  EXPECT_EQ(clicks[1], std::nullopt);
  EXPECT_EQ(menus[0], QPoint(5, 6));

  EXPECT_EQ(property("Status").toString(), "Passive");
  QImage dot(2, 1, QImage::Format_ARGB32);
  dot.setPixel(0, 0, qRgba(255, 0, 0, 128));
  dot.setPixel(1, 0, qRgba(0, 0, 255, 255));
  item_->setIcon({}, {}, {dot});
  EXPECT_EQ(property("Status").toString(), "Active");
  EXPECT_EQ(property("IconName").toString(), "");
  const QDBusArgument pixmaps = property("IconPixmap").value<QDBusArgument>();
  pixmaps.beginArray();
  ASSERT_FALSE(pixmaps.atEnd());
  int width = 0, height = 0;
  QByteArray bytes;
  pixmaps.beginStructure();
  pixmaps >> width >> height >> bytes;
  pixmaps.endStructure();
  EXPECT_EQ(width, 2);
  EXPECT_EQ(height, 1);
  // ARGB, most significant byte first, as panels read it.
  EXPECT_EQ(bytes.toHex().toStdString(), "80ff0000ff0000ff");

  item_->setIcon(QStringLiteral("camera-web"), QStringLiteral("/opt/icons"), {dot});
  EXPECT_EQ(property("IconName").toString(), "camera-web");
  EXPECT_EQ(property("IconThemePath").toString(), "/opt/icons");
  // The images stay, for panels that do not find the name.
  const QDBusArgument named = property("IconPixmap").value<QDBusArgument>();
  named.beginArray();
  EXPECT_FALSE(named.atEnd());
}

}  // namespace

Q_DECLARE_METATYPE(PanelEvent)

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  PrivateSession bus(tovrelle::test::SessionOptions{false, false, false});
  session = &bus;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  char name[] = "tray_menu_tests";
  char* qtArgv[] = {name, nullptr};
  QApplication app(qtArgc, qtArgv);
  qDBusRegisterMetaType<PanelEvent>();
  qDBusRegisterMetaType<QList<PanelEvent>>();
  return RUN_ALL_TESTS();
}

#include "TrayMenuExportTest.moc"
