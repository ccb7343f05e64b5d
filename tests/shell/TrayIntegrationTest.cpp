// The running `tovrelle` program on a private session bus and X server: its
// status item as a StatusNotifierItem seen by a watcher/host of our own, the
// popover on Activate, the icon following a global shortcut, first-launch
// onboarding, and one running instance per user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QSettings>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/shell/Symbols.h"
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

// Asks a window to close as a window manager's close button does (WM_DELETE_WINDOW).
void requestClose(uint32_t window) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  ASSERT_EQ(xcb_connection_has_error(c), 0);
  auto atom = [c](const char* name) {
    auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return a;
  };
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = atom("WM_PROTOCOLS");
  event.data.data32[0] = atom("WM_DELETE_WINDOW");
  event.data.data32[1] = XCB_CURRENT_TIME;
  auto cookie = xcb_send_event_checked(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  // Wait until the server has handled it before hanging up.
  xcb_generic_error_t* error = xcb_request_check(c, cookie);
  EXPECT_EQ(error, nullptr) << "send_event failed";
  free(error);
  xcb_disconnect(c);
}

// The StatusNotifierWatcher and host of this test: items register here.
class Watcher : public QObject {
  Q_OBJECT
 public:
  QStringList items;
};

class WatcherAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
  Q_PROPERTY(int ProtocolVersion READ protocolVersion)

 public:
  explicit WatcherAdaptor(Watcher* watcher) : QDBusAbstractAdaptor(watcher), watcher_(watcher) {}
  QStringList registeredItems() const { return watcher_->items; }
  bool hostRegistered() const { return true; }
  int protocolVersion() const { return 0; }

 public slots:
  void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
    // A path alone means "at this path, on the caller's connection".
    const QString item = service.startsWith('/') ? message.service() : service;
    watcher_->items << item;
    emit StatusNotifierItemRegistered(item);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 signals:
  void StatusNotifierItemRegistered(const QString& service);
  void StatusNotifierItemUnregistered(const QString& service);
  void StatusNotifierHostRegistered();

 private:
  Watcher* watcher_;
};

struct TrayItem {
  QString service;
  QDBusConnection bus;

  QVariant property(const char* name) const {
    QDBusMessage get = QDBusMessage::createMethodCall(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get");
    get << QStringLiteral("org.kde.StatusNotifierItem") << QString::fromLatin1(name);
    QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    return reply.arguments().first().value<QDBusVariant>().variant();
  }

  static std::vector<QImage> readPixmaps(const QDBusArgument& arg) {
    std::vector<QImage> images;
    arg.beginArray();
    while (!arg.atEnd()) {
      int w = 0, h = 0;
      QByteArray data;
      arg.beginStructure();
      arg >> w >> h >> data;
      arg.endStructure();
      if (w <= 0 || h <= 0 || data.size() != w * h * 4) continue;
      QImage img(w, h, QImage::Format_ARGB32);
      const auto* p = reinterpret_cast<const uchar*>(data.constData());
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x, p += 4) img.setPixel(x, y, qRgba(p[1], p[2], p[3], p[0]));  // ARGB, network order
      images.push_back(img);
    }
    arg.endArray();
    return images;
  }

  std::vector<QImage> iconPixmaps() const {
    QVariant v = property("IconPixmap");
    if (!v.canConvert<QDBusArgument>()) return {};
    return readPixmaps(v.value<QDBusArgument>());
  }

  // The ToolTip struct (icon name, icon pixmaps, title, description): its title.
  QString toolTipTitle() const {
    QVariant v = property("ToolTip");
    if (!v.canConvert<QDBusArgument>()) return {};
    const QDBusArgument arg = v.value<QDBusArgument>();
    QString iconName, title, description;
    arg.beginStructure();
    arg >> iconName;
    readPixmaps(arg);
    arg >> title >> description;
    arg.endStructure();
    return title;
  }

  void activate() const {
    QDBusMessage call = QDBusMessage::createMethodCall(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate");
    call << 640 << 0;
    bus.call(call, QDBus::Block, 5000);
  }
};

// Which of the three mode symbols a pixmap shows; empty when none matches exactly.
QString modeSymbolIn(const QImage& shown) {
  QColor ink;
  for (int y = 0; y < shown.height() && !ink.isValid(); ++y)
    for (int x = 0; x < shown.width(); ++x)
      if (qAlpha(shown.pixel(x, y)) == 255) {
        ink = QColor(shown.pixel(x, y));
        break;
      }
  if (!ink.isValid()) return {};
  for (const char* name : {"video.slash.fill", "video.fill", "photo.fill"}) {
    const QImage expected = tovrelle::symbols::image(name, shown.size(), ink).convertToFormat(QImage::Format_ARGB32);
    if (expected == shown) return name;
  }
  return {};
}

QImage pixmapOfSize(const std::vector<QImage>& images, int side) {
  for (const QImage& img : images)
    if (img.width() == side) return img;
  return {};
}

class TovrelleProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = session->makeFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    settingsFile_ = folder_ / "settings.ini";
  }

  std::map<std::string, std::string> env() const {
    std::map<std::string, std::string> e{{"TOVRELLE_DATA_DIR", (folder_ / "data").string()},
                                         {"TOVRELLE_SETTINGS_FILE", settingsFile_.string()},
                                         {"XDG_CONFIG_HOME", (folder_ / "config").string()},
                                         {"QT_QPA_PLATFORM", "xcb"},
                                         {"XDG_CURRENT_DESKTOP", ""}};
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

  void completeOnboarding() {
    QSettings s(QString::fromStdString(settingsFile_.string()), QSettings::IniFormat);
    s.setValue("hasCompletedOnboarding", true);
  }

  bool onboardingCompletedOnDisk() const {
    QSettings s(QString::fromStdString(settingsFile_.string()), QSettings::IniFormat);
    return s.value("hasCompletedOnboarding").toString() == "true";
  }

  fs::path folder_;
  fs::path settingsFile_;
};

class Tray : public TovrelleProgram {
 protected:
  void SetUp() override {
    TovrelleProgram::SetUp();
    bus_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(
        QString::fromStdString(session->env().at("DBUS_SESSION_BUS_ADDRESS")), QStringLiteral("tray-host")));
    ASSERT_TRUE(bus_->isConnected());
    watcher_ = std::make_unique<Watcher>();
    new WatcherAdaptor(watcher_.get());
    ASSERT_TRUE(bus_->registerObject("/StatusNotifierWatcher", watcher_.get()));
    ASSERT_TRUE(bus_->registerService("org.kde.StatusNotifierWatcher"));
  }
  void TearDown() override {
    bus_->unregisterService("org.kde.StatusNotifierWatcher");
    bus_->unregisterObject("/StatusNotifierWatcher");
    QDBusConnection::disconnectFromBus(QStringLiteral("tray-host"));
  }

  TrayItem waitForItem() {
    EXPECT_TRUE(waitUntil([this] { return !watcher_->items.isEmpty(); })) << "no status item registered";
    return TrayItem{watcher_->items.value(0), *bus_};
  }

  QString shownSymbol(const TrayItem& item) { return modeSymbolIn(pixmapOfSize(item.iconPixmaps(), 22)); }

  std::unique_ptr<QDBusConnection> bus_;
  std::unique_ptr<Watcher> watcher_;
};

// A strip along the top of the screen that shows what our host received, so
// a screenshot of the session shows the tray as a panel would.
class Panel : public QWidget {
 public:
  Panel() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setGeometry(0, 0, 1280, 28);
  }
  QImage icon;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor(0xe8, 0xe8, 0xe8));
    p.drawText(QRect(10, 0, 400, 28), Qt::AlignVCenter, QStringLiteral("Test panel (StatusNotifierHost)"));
    if (!icon.isNull()) p.drawImage(QPoint(width() - 40, 3), icon);
  }
};

}  // namespace

TEST_F(Tray, TheItemShowsTheModeAndActivateTogglesThePopover) {
  completeOnboarding();
  auto app = start("tovrelle");
  TrayItem item = waitForItem();
  ASSERT_TRUE(waitUntil([&] { return !item.iconPixmaps().empty(); }));
  const auto pixmaps = item.iconPixmaps();
  EXPECT_FALSE(pixmapOfSize(pixmaps, 16).isNull());
  EXPECT_FALSE(pixmapOfSize(pixmaps, 22).isNull());
  EXPECT_EQ(shownSymbol(item), "video.slash.fill");  // a first launch is off
  EXPECT_EQ(item.toolTipTitle(), "Tovrelle");
  EXPECT_TRUE(app->log().find("no system tray") == std::string::npos);

  EXPECT_TRUE(visibleWindows("Tovrelle").isEmpty());
  item.activate();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << "popover did not open";

  // TOVRELLE_SCREENSHOT=<file.png>: the screen with the icon drawn into a panel, for a look.
  if (const char* shot = std::getenv("TOVRELLE_SCREENSHOT")) {
    Panel panel;
    panel.icon = pixmapOfSize(item.iconPixmaps(), 22);
    panel.show();
    waitUntil([] { return false; }, 300ms);
    run({"import", "-window", "root", QString::fromLocal8Bit(shot)});
  }

  item.activate();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").isEmpty(); })) << "popover did not close";
  item.activate();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << "popover did not reopen";

  EXPECT_TRUE(app->running());
  EXPECT_EQ(app->stop(), 0);
}

TEST_F(Tray, AShortcutChangesTheIconAndTheToolTipStays) {
  completeOnboarding();
  auto app = start("tovrelle");
  TrayItem item = waitForItem();
  ASSERT_TRUE(waitUntil([&] { return shownSymbol(item) == "video.slash.fill"; }));
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 5s));

  // ⌃⌥⌘1 is Control+Alt+Super+1 on X11; the camera goes on when the keys are released.
  run({"xdotool", "key", "ctrl+alt+super+1"});
  EXPECT_TRUE(waitUntil([&] { return shownSymbol(item) == "video.fill"; })) << app->log();
  EXPECT_TRUE(app->waitForLog("CameraManager: wrote state mode=camera", 2s));
  EXPECT_EQ(item.toolTipTitle(), "Tovrelle");

  run({"xdotool", "key", "ctrl+alt+super+0"});
  EXPECT_TRUE(waitUntil([&] { return shownSymbol(item) == "video.slash.fill"; })) << app->log();
  EXPECT_EQ(app->stop(), 0);
}

TEST_F(TovrelleProgram, WithoutATrayItSaysSoAndKeepsRunning) {
  completeOnboarding();
  auto app = start("tovrelle");
  ASSERT_TRUE(app->waitForLog("StatusItem: no system tray on this desktop", 10s)) << app->log();
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 5s));
  waitUntil([] { return false; }, 500ms);
  EXPECT_TRUE(app->running());
  // A second launch still brings up the popover.
  auto second = start("second");
  EXPECT_EQ(second->wait(10s), 0) << second->log();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; }));
  EXPECT_EQ(app->stop(), 0);
}

TEST_F(TovrelleProgram, WithoutADisplayItRunsHeadlessInsteadOfStopping) {
  completeOnboarding();
  auto e = env();
  e["DISPLAY"] = "";
  e["QT_QPA_PLATFORM"] = "";
  std::vector<std::string> argv{(tovrelle::test::binaryDir() / "tovrelle").string()};
  auto app = session->spawn(argv, e, "headless");
  ASSERT_TRUE(app->waitForLog("TovrelleApp: no display (DISPLAY and WAYLAND_DISPLAY are unset)", 10s)) << app->log();
  ASSERT_TRUE(app->waitForLog("CameraManager: wrote state", 10s)) << app->log();
  // Still the one instance: a second launch hands over to it.
  auto second = session->spawn(argv, e, "headless-second");
  EXPECT_EQ(second->wait(10s), 0) << second->log();
  EXPECT_TRUE(app->running());
  EXPECT_EQ(app->stop(), 0);
}

TEST_F(TovrelleProgram, FirstLaunchOpensOnboardingAndClosingItCompletesIt) {
  auto app = start("tovrelle");
  ASSERT_TRUE(waitUntil([] { return visibleWindows("Welcome to Tovrelle").size() == 1; })) << app->log();
  // Nothing is installed on a first launch.
  EXPECT_EQ(app->log().find("SystemExtensionInstaller] activat"), std::string::npos);
  EXPECT_FALSE(onboardingCompletedOnDisk());
  const QString win = visibleWindows("Welcome to Tovrelle").first();
  requestClose(win.toUInt());
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Welcome to Tovrelle").isEmpty(); }))
      << app->log();
  EXPECT_TRUE(waitUntil([this] { return onboardingCompletedOnDisk(); }));
  EXPECT_TRUE(app->running());  // closing the last window does not quit
  EXPECT_EQ(app->stop(), 0);

  // The next launch goes straight to work.
  auto next = start("next");
  ASSERT_TRUE(next->waitForLog("CameraManager: wrote state", 10s));
  waitUntil([] { return false; }, 500ms);
  EXPECT_TRUE(visibleWindows("Welcome to Tovrelle").isEmpty());
  EXPECT_EQ(next->stop(), 0);
}

TEST_F(TovrelleProgram, ASecondLaunchHandsOverAndTheFirstKeepsWritingAlone) {
  completeOnboarding();
  auto first = start("first");
  ASSERT_TRUE(first->waitForLog("CameraManager: wrote state", 10s)) << first->log();
  const fs::path heartbeat = folder_ / "data" / "heartbeat";

  auto second = start("second");
  EXPECT_EQ(second->wait(10s), 0) << second->log();
  EXPECT_NE(second->log().find("TovrelleApp: Tovrelle is already running; asked it to show its popover"),
            std::string::npos)
      << second->log();
  // The second never became a writer.
  EXPECT_EQ(second->log().find("CameraManager:"), std::string::npos) << second->log();
  EXPECT_TRUE(waitUntil([] { return visibleWindows("Tovrelle").size() == 1; })) << "the first did not show its popover";

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
  // The test itself needs the display only to draw its panel for a screenshot.
  qputenv("QT_QPA_PLATFORM", std::getenv("TOVRELLE_SCREENSHOT") ? "xcb" : "offscreen");
  int qtArgc = 1;
  char name[] = "shell_tray_tests";
  char* qtArgv[] = {name, nullptr};
  QApplication app(qtArgc, qtArgv);
  return RUN_ALL_TESTS();
}

#include "TrayIntegrationTest.moc"
