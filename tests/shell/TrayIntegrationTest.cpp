// The running `tovrelle` program on a private session bus and X server: its
// status item as a StatusNotifierItem seen by a watcher/host of our own (name,
// theme icon, tool tip, menu driven over D-Bus), the popover on Activate and
// from the keyboard, what it falls back to without a watcher, a tray or an
// icon theme, and one running instance per user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QImage>
#include <QLibraryInfo>
#include <QProcess>
#include <QSettings>
#include <chrono>
#include <filesystem>
#include <memory>

#include "tests/shell/EventLoopWait.h"
#include "tests/support/Services.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tovrelle::test::PrivateSession;
using tovrelle::test::Process;

namespace {

PrivateSession* session = nullptr;

using tovrelle::test::waitUntil;

std::string run(const QStringList& argv) {
  QProcess p;
  p.start(argv.first(), argv.mid(1));
  p.waitForFinished(10000);
  return p.readAllStandardOutput().toStdString();
}

// Visible top-level windows whose title is exactly `title`.
QStringList visibleWindows(const QString& title) {
  QStringList out;
  const QString ids = QString::fromStdString(run({"xdotool", "search", "--onlyvisible", "--name", title}));
  for (const QString& id : ids.split('\n', Qt::SkipEmptyParts))
    if (QString::fromStdString(run({"xdotool", "getwindowname", id})).trimmed() == title) out << id;
  return out;
}

// The StatusNotifierWatcher and host of this test: items register here.
class WatcherAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER items)
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
  Q_PROPERTY(int ProtocolVersion READ protocolVersion)

 public:
  explicit WatcherAdaptor(QObject* watcher) : QDBusAbstractAdaptor(watcher) {}
  bool hostRegistered() const { return true; }
  int protocolVersion() const { return 0; }
  QStringList items;

 public slots:
  void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
    // A path alone means "at this path, on the caller's connection".
    const QString item = service.startsWith('/') ? message.service() : service;
    items << item;
    emit StatusNotifierItemRegistered(item);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 signals:
  void StatusNotifierItemRegistered(const QString& service);
  void StatusNotifierItemUnregistered(const QString& service);
  void StatusNotifierHostRegistered();
};

struct TrayItem {
  QString service;
  QDBusConnection bus;

  QVariant property(const char* name) const {
    QDBusMessage get =
        QDBusMessage::createMethodCall(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get");
    get << QStringLiteral("org.kde.StatusNotifierItem") << QString::fromLatin1(name);
    QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    return reply.arguments().first().value<QDBusVariant>().variant();
  }

  // The ToolTip struct (icon name, icon pixmaps, title, description): its title.
  QString toolTipTitle() const {
    const QDBusArgument arg = property("ToolTip").value<QDBusArgument>();
    QString iconName, title;
    arg.beginStructure();
    arg >> iconName;
    arg.asVariant();  // the icon pixmaps, skipped
    arg >> title;
    return title;
  }

  // The context menu, flat, with each entry's id: "label", "[x] label" for a
  // checked check box, "(o) label" / "( ) label" for radio items,
  // checked, "---" for separators.
  std::vector<std::pair<int, QString>> menu() const {
    QDBusMessage call = QDBusMessage::createMethodCall(service, menuPath(), "com.canonical.dbusmenu", "GetLayout");
    call << 0 << -1 << QStringList{};
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    std::vector<std::pair<int, QString>> out;
    if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() >= 2)
      readLayout(reply.arguments().at(1).value<QDBusArgument>(), out, true);
    return out;
  }
  QStringList menuTexts() const {
    QStringList texts;
    for (const auto& entry : menu()) texts << entry.second;
    return texts;
  }
  static void readLayout(const QDBusArgument& arg, std::vector<std::pair<int, QString>>& out, bool root) {
    int id = 0;
    QVariantMap props;
    arg.beginStructure();
    arg >> id >> props;
    const QString toggle = props.value("toggle-type").toString();
    const bool on = props.value("toggle-state").toInt() == 1;
    const QString mark = toggle == "radio" ? (on ? "(o) " : "( ) ") : toggle == "checkmark" && on ? "[x] " : "";
    const QString label = mark + props.value("label").toString();
    if (!root) out.push_back({id, props.value("type").toString() == "separator" ? QString("---") : label});
    arg.beginArray();
    while (!arg.atEnd()) {
      QDBusVariant child;
      arg >> child;
      readLayout(child.variant().value<QDBusArgument>(), out, false);
    }
    arg.endArray();
    arg.endStructure();
  }
  QString menuPath() const { return property("Menu").value<QDBusObjectPath>().path(); }
  // A click on the entry showing `text`, as a panel sends it.
  bool click(const QString& text) const {
    for (const auto& [id, shown] : menu())
      if (shown == text || shown == "[x] " + text || shown == "(o) " + text || shown == "( ) " + text) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, menuPath(), "com.canonical.dbusmenu", "Event");
        call << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
        return bus.call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
      }
    return false;
  }

  // A left click at x, y on screen, as a panel reports it; 0, 0 when it does not say.
  void activate(int x = 640, int y = 0) const {
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate");
    call << x << y;
    bus.call(call, QDBus::Block, 5000);
  }
};

// Counts the item's change signals as a panel receives them.
class ItemSignals : public QObject {
  Q_OBJECT

 public:
  int icons = 0;
  int toolTips = 0;

 public slots:
  void newIcon() { ++icons; }
  void newToolTip() { ++toolTips; }
};

// The one visible popover's frame on screen, as the X server has it.
QRect popoverGeometry() {
  const QStringList ids = visibleWindows("Tovrelle");
  if (ids.size() != 1) return {};
  const QStringList lines =
      QString::fromStdString(run({"xdotool", "getwindowgeometry", "--shell", ids.first()})).split('\n');
  auto value = [&](const char* key) {
    for (const QString& line : lines)
      if (line.startsWith(QString(key) + "=")) return line.section('=', 1).toInt();
    return -1;
  };
  return QRect(value("X"), value("Y"), value("WIDTH"), value("HEIGHT"));
}

class TovrelleProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = session->makeFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    settingsFile_ = folder_ / "settings.ini";
    QSettings settings(QString::fromStdString(settingsFile_.string()), QSettings::IniFormat);
    settings.setValue("hasCompletedOnboarding", true);
  }

  std::map<std::string, std::string> env() const {
    std::map<std::string, std::string> e{{"TOVRELLE_DATA_DIR", (folder_ / "data").string()},
                                         {"TOVRELLE_SETTINGS_FILE", settingsFile_.string()},
                                         {"XDG_CONFIG_HOME", (folder_ / "config").string()},
                                         {"QT_QPA_PLATFORM", "xcb"},
                                         {"XDG_CURRENT_DESKTOP", ""}};
    for (const auto& [key, value] : extraEnv_) e[key] = value;
    // In sanitizer runs: libxkbcommon-x11 hands strndup() atom names that are not NUL-terminated,
    // which is allowed but reported under strict_string_checks as soon as a program opens the display.
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
      e["ASAN_OPTIONS"] = std::string(asan) + ":strict_string_checks=0";
    return e;
  }

  std::unique_ptr<Process> start(const std::string& logName, std::vector<std::string> args = {}) {
    std::vector<std::string> argv{(tovrelle::test::binaryDir() / "tovrelle").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return session->spawn(argv, env(), logName);
  }

  QString stateOnDisk() const {
    QFile file(QString::fromStdString((folder_ / "data" / "state.json").string()));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  fs::path folder_;
  fs::path settingsFile_;
  std::map<std::string, std::string> extraEnv_;
};

class Tray : public TovrelleProgram {
 protected:
  void SetUp() override {
    TovrelleProgram::SetUp();
    bus_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(
        QString::fromStdString(session->env().at("DBUS_SESSION_BUS_ADDRESS")), QStringLiteral("tray-host")));
    ASSERT_TRUE(bus_->isConnected());
    adaptor_ = new WatcherAdaptor(&watcher_);
    ASSERT_TRUE(bus_->registerObject("/StatusNotifierWatcher", &watcher_));
    ASSERT_TRUE(bus_->registerService("org.kde.StatusNotifierWatcher"));
  }
  void TearDown() override {
    bus_->unregisterService("org.kde.StatusNotifierWatcher");
    bus_->unregisterObject("/StatusNotifierWatcher");
    QDBusConnection::disconnectFromBus(QStringLiteral("tray-host"));
  }

  TrayItem waitForItem() {
    EXPECT_TRUE(waitUntil([this] { return !adaptor_->items.isEmpty(); })) << "no status item registered";
    return TrayItem{adaptor_->items.value(0), *bus_};
  }

  std::unique_ptr<QDBusConnection> bus_;
  QObject watcher_;
  WatcherAdaptor* adaptor_ = nullptr;
};

}  // namespace

TEST_F(Tray, TheItemNamesWhatTheCameraShowsAndItsMenuAndShortcutsSwitchIt) {
  auto app = start("tovrelle");
  TrayItem item = waitForItem();
  // The panel gets the mode icon by theme name, so it can colour it for itself.
  ASSERT_TRUE(waitUntil([&] { return item.property("IconName").toString() == "tovrelle-camera-off-symbolic"; }))
      << item.property("IconName").toString().toStdString() << app->log();
  EXPECT_EQ(item.property("Title").toString(), "Tovrelle");
  EXPECT_EQ(item.toolTipTitle(), "Camera off");
  EXPECT_EQ(item.menuTexts(), (QStringList{"(o) Camera Off", "( ) Camera On", "---", "Settings…", "Quit Tovrelle"}));
  EXPECT_EQ(app->log().find("TrayIcon:"), std::string::npos) << "nothing to fall back to";

  // The menu, driven as a panel drives it.
  ASSERT_TRUE(item.click("Camera On"));
  EXPECT_TRUE(waitUntil([&] { return stateOnDisk().contains(R"("mode":"camera")"); })) << app->log();
  EXPECT_TRUE(waitUntil([&] { return item.property("IconName").toString() == "tovrelle-camera-on-symbolic"; }));
  // This session has no camera: the tool tip says so under what the camera shows.
  EXPECT_TRUE(waitUntil([&] { return item.toolTipTitle() == "Camera: Default Camera\nNo camera is connected"; }))
      << item.toolTipTitle().toStdString();
  EXPECT_TRUE(waitUntil([&] { return item.menuTexts().value(1) == "(o) Camera On"; }));

  // Control+Alt+Super+0 is released: off again, and the item follows.
  run({"xdotool", "key", "ctrl+alt+super+0"});
  EXPECT_TRUE(waitUntil([&] { return item.property("IconName").toString() == "tovrelle-camera-off-symbolic"; }));
  EXPECT_TRUE(waitUntil([&] { return item.toolTipTitle() == "Camera off"; }));

  // Left click (Activate) toggles the popover.
  item.activate();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << "popover did not open";
  item.activate();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").isEmpty(); })) << "popover did not close";
  // From the keyboard: it opens on the row of the current mode (off), so Down, Return turns the camera on.
  item.activate();
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << app->log();
  run({"xdotool", "key", "--delay", "80", "Down", "Return"});
  EXPECT_TRUE(waitUntil([&] { return stateOnDisk().contains(R"("mode":"camera")"); })) << app->log();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").isEmpty(); })) << "a choice closes the popover";
  // Opened again, it is on the on row: Up and Space turn it off, and it closes.
  item.activate();
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << app->log();
  run({"xdotool", "key", "--delay", "80", "Up", "space"});
  EXPECT_TRUE(waitUntil([&] { return stateOnDisk().contains(R"("mode":"off")"); })) << app->log();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").isEmpty(); }));
  // With the popover open, a global shortcut still switches the camera (Qt holds the
  // keyboard for the popup, so the key reaches the app instead of its grab); Esc closes.
  item.activate();
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << app->log();
  run({"xdotool", "key", "ctrl+alt+super+1"});
  EXPECT_TRUE(waitUntil([&] { return stateOnDisk().contains(R"("mode":"camera")"); })) << app->log();
  run({"xdotool", "key", "Escape"});
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").isEmpty(); }));

  ASSERT_TRUE(item.click("Settings…"));
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle Settings").size() == 1; }));
  ASSERT_TRUE(item.click("Quit Tovrelle"));
  EXPECT_EQ(app->wait(10s), 0) << app->log();
}

TEST_F(Tray, ThePopoverOpensWhereThePanelWasClicked) {
  auto app = start("tovrelle-placed");
  TrayItem item = waitForItem();
  EXPECT_EQ(item.property("ItemIsMenu").toBool(), false);
  EXPECT_EQ(item.property("Status").toString(), "Active");
  EXPECT_EQ(item.property("Category").toString(), "ApplicationStatus");

  // A panel at the top (the screen is 1280x800): under the click, centred on it.
  item.activate(300, 12);
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << app->log();
  QRect frame = popoverGeometry();
  EXPECT_LE(std::abs(frame.center().x() - 300), 2) << frame.x() << "," << frame.y();
  EXPECT_GT(frame.top(), 12);
  EXPECT_LT(frame.top(), 40);
  // Kept in the test's working folder, to be looked at when the placement changes.
  run({"import", "-window", "root", QString::fromStdString((fs::current_path() / "popover-at-click.png").string())});
  item.activate(300, 12);
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").isEmpty(); }));

  // A panel at the bottom: over the click.
  item.activate(1000, 790);
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << app->log();
  frame = popoverGeometry();
  EXPECT_LE(std::abs(frame.center().x() - 1000), 2) << frame.x() << "," << frame.y();
  EXPECT_LT(frame.bottom(), 790);
  EXPECT_GT(frame.bottom(), 760);
  run({"xdotool", "key", "Escape"});
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").isEmpty(); }));

  // No position from the panel: the pointer stands for the click.
  run({"xdotool", "mousemove", "200", "300"});
  item.activate(0, 0);
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << app->log();
  frame = popoverGeometry();
  EXPECT_LE(std::abs(frame.center().x() - 200), 2) << frame.x() << "," << frame.y();
  EXPECT_GT(frame.top(), 300);
  EXPECT_LT(frame.top(), 330);
  run({"xdotool", "key", "Escape"});
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").isEmpty(); }));
  EXPECT_EQ(app->stop(), 0);
}

TEST_F(Tray, PanelsHearOfChangesAndARestartedWatcherGetsTheItemAgain) {
  auto app = start("tovrelle-signals");
  TrayItem item = waitForItem();
  ItemSignals heard;
  ASSERT_TRUE(bus_->connect(item.service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "NewIcon", &heard,
                            SLOT(newIcon())));
  ASSERT_TRUE(bus_->connect(item.service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "NewToolTip", &heard,
                            SLOT(newToolTip())));
  ASSERT_TRUE(waitUntil([&] { return item.toolTipTitle() == "Camera off"; })) << app->log();
  const int icons = heard.icons, toolTips = heard.toolTips;
  ASSERT_TRUE(item.click("Camera On"));
  EXPECT_TRUE(waitUntil([&] { return heard.icons > icons && heard.toolTips > toolTips; }))
      << heard.icons << " " << heard.toolTips;
  EXPECT_EQ(item.property("IconName").toString(), "tovrelle-camera-on-symbolic");
  EXPECT_TRUE(waitUntil([&] { return item.menuTexts().value(1) == "(o) Camera On"; }));

  // The panel restarts: its new watcher is told about the item again.
  ASSERT_TRUE(bus_->unregisterService("org.kde.StatusNotifierWatcher"));
  adaptor_->items.clear();
  ASSERT_TRUE(bus_->registerService("org.kde.StatusNotifierWatcher"));
  ASSERT_TRUE(waitUntil([&] { return !adaptor_->items.isEmpty(); })) << app->log();
  EXPECT_EQ(adaptor_->items.value(0), item.service);
  EXPECT_EQ(app->stop(), 0);
}

TEST_F(TovrelleProgram, WithoutAWatcherOrAnIconThemeItSaysWhatItFallsBackToAndStaysReachable) {
  // A plain XEmbed tray: someone owns the tray selection, nobody watches for items.
  // Dropped however the test ends, so the next test finds no tray.
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(nullptr, nullptr),
                                                                          &xcb_disconnect);
  xcb_connection_t* c = connection.get();
  ASSERT_EQ(xcb_connection_has_error(c), 0);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t owner = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, owner, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 19, "_NET_SYSTEM_TRAY_S0"), nullptr);
  ASSERT_TRUE(reply);
  xcb_set_selection_owner(c, owner, reply->atom, XCB_CURRENT_TIME);
  free(reply);
  xcb_flush(c);

  // No icon theme anywhere.
  extraEnv_ = {{"XDG_DATA_DIRS", (folder_ / "nothing").string()}, {"XDG_DATA_HOME", (folder_ / "nothing").string()}};
  auto app = start("xembed");
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 10s)) << app->log();
  EXPECT_TRUE(
      app->waitForLog("TrayIcon: no StatusNotifierWatcher on the session bus; using the XEmbed system tray", 5s))
      << app->log();
  EXPECT_TRUE(
      app->waitForLog("TrayIcon: no icon theme has tovrelle-camera-off-symbolic; the tray shows a drawn icon", 5s))
      << app->log();
  // Said once, however often the icon changes. The hot keys are grabbed a
  // moment after the first state write, so press until a key lands.
  auto pressUntil = [&](const char* keys, const char* line, int count) {
    for (int i = 0; i < 40; ++i) {
      run({"xdotool", "key", keys});
      if (app->waitForLog(line, 500ms, count)) return true;
    }
    return false;
  };
  ASSERT_TRUE(pressUntil("ctrl+alt+super+1", "wrote state mode=camera", 1)) << app->log();
  ASSERT_TRUE(pressUntil("ctrl+alt+super+0", "wrote state mode=off", 2)) << app->log();
  EXPECT_FALSE(app->waitForLog("TrayIcon: no icon theme", 300ms, 2));
  EXPECT_TRUE(app->running());
  EXPECT_EQ(app->stop(), 0);
}

TEST_F(TovrelleProgram, WithoutADisplayItRunsHeadlessInsteadOfStopping) {
  extraEnv_ = {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  auto app = start("headless");
  ASSERT_TRUE(app->waitForLog("TovrelleApp: no display (DISPLAY and WAYLAND_DISPLAY are unset)", 10s)) << app->log();
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 10s)) << app->log();
  EXPECT_TRUE(app->running());
  EXPECT_EQ(app->stop(), 0);
}

// No tray at all: it says so and keeps running. A second launch hands over,
// and the first shows its popover (dark in the GTK dark theme) and keeps writing alone.
TEST_F(TovrelleProgram, ASecondLaunchHandsOverAndTheFirstKeepsWritingAlone) {
  const bool gtk = QFile::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platformthemes/libqgtk3.so");
  if (gtk) extraEnv_ = {{"QT_QPA_PLATFORMTHEME", "gtk3"}, {"GTK_THEME", "Adwaita:dark"}};
  auto first = start("first");
  ASSERT_TRUE(first->waitForLog("TrayIcon: no system tray on this desktop", 10s)) << first->log();
  ASSERT_TRUE(first->waitForLog("CameraManager: wrote state", 10s)) << first->log();
  const fs::path heartbeat = folder_ / "data" / "heartbeat";

  auto second = start("second");
  EXPECT_EQ(second->wait(10s), 0) << second->log();
  EXPECT_NE(second->log().find("TovrelleApp: Tovrelle is already running; asked it to show its popover"),
            std::string::npos)
      << second->log();
  // The second never became a writer.
  EXPECT_EQ(second->log().find("CameraManager:"), std::string::npos) << second->log();
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << "the first did not show its popover";
  if (gtk) {
    const QString shot = QString::fromStdString((folder_ / "popover-gtk-dark.png").string());
    waitUntil([] { return false; }, 300ms);
    run({"import", "-window", "root", shot});
    const QImage screen(shot);
    const QStringList geometry =
        QString::fromStdString(run({"xdotool", "getwindowgeometry", "--shell", visibleWindows("Tovrelle").value(0)}))
            .split('\n');
    auto value = [&](const char* key) {
      for (const QString& line : geometry)
        if (line.startsWith(QString(key) + "=")) return line.section('=', 1).toInt();
      return -1;
    };
    // Just inside the popover's bottom-left corner: its background, not the root window.
    const QColor background = screen.pixelColor(value("X") + 4, value("Y") + value("HEIGHT") - 4);
    EXPECT_LT(background.lightness(), 90) << background.name().toStdString();
  }

  auto settings = start("settings", {"--settings"});
  EXPECT_EQ(settings->wait(10s), 0) << settings->log();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle Settings").size() == 1; }));

  // The first goes on renewing the heartbeat.
  const auto before = fs::last_write_time(heartbeat);
  EXPECT_TRUE(waitUntil([&] { return fs::last_write_time(heartbeat) > before; }, 3s));
  EXPECT_TRUE(first->running());

  // A first instance that died without cleaning up does not block the next one.
  first->stop(SIGKILL);
  auto third = start("third");
  EXPECT_TRUE(third->waitForLog("CameraManager: wrote state", 10s)) << third->log();
  EXPECT_TRUE(third->running());
  EXPECT_EQ(third->stop(), 0);
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // One private desktop for the whole program: bus and X server, no PipeWire needed here.
  PrivateSession desktop(tovrelle::test::SessionOptions{false, false, true});
  session = &desktop;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  char name[] = "shell_tray_tests";
  char* qtArgv[] = {name, nullptr};
  QApplication app(qtArgc, qtArgv);
  return RUN_ALL_TESTS();
}

#include "TrayIntegrationTest.moc"
