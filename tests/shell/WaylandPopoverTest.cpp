// The running `tovrelle` on weston with a tray host of the test's own: a
// click on the item opens the popover as a top-level of its own, never as a
// popup or child of another of our windows (here the Settings window), it
// takes the keyboard, and a second click or Esc closes it; where the session
// is sway's, sway is asked over its IPC to put it under the click. Read from
// the Wayland protocol the app exchanges with the compositor and from a
// stand-in for sway's socket.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
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
using tovrelle::test::waitUntil;

namespace {

PrivateSession* session = nullptr;

// Just enough of a StatusNotifierWatcher to learn the item's name.
class Watcher : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

 public:
  explicit Watcher(QObject* object) : QDBusAbstractAdaptor(object) {}
  bool hostRegistered() const { return true; }
  QStringList items;

 public slots:
  void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
    items << (service.startsWith('/') ? message.service() : service);
  }
};

// The xdg_toplevel objects the app asked for, in order, with their titles
// and what they were made: "toplevel", "child" (set_parent to another) or
// "popup"; their width limits, whether each had the keyboard, and whether it
// was destroyed.
struct Surface {
  QString object;
  QString kind;
  QString title;
  bool destroyed = false;
  QString surface;  // its wl_surface
  bool hadKeyboard = false;
  int minWidth = -1;
  int maxWidth = -1;
};

std::vector<Surface> surfaces(const std::string& protocolLog) {
  std::vector<Surface> out;
  static const QRegularExpression toplevel(R"(-> (xdg_surface@\d+)\.get_toplevel\(new id (xdg_toplevel@\d+)\))");
  static const QRegularExpression popup(R"(-> xdg_surface@\d+\.get_popup\(new id (xdg_popup@\d+),)");
  static const QRegularExpression parent(R"(-> (xdg_toplevel@\d+)\.set_parent\(xdg_toplevel@\d+\))");
  static const QRegularExpression title(R"RE(-> (xdg_toplevel@\d+)\.set_title\("(.*)"\))RE");
  static const QRegularExpression destroy(R"(-> (xdg_toplevel@\d+|xdg_popup@\d+)\.destroy\(\))");
  static const QRegularExpression role(
      R"(-> xdg_wm_base@\d+\.get_xdg_surface\(new id (xdg_surface@\d+), (wl_surface@\d+)\))");
  static const QRegularExpression enter(R"(wl_keyboard@\d+\.enter\(\d+, (wl_surface@\d+),)");
  static const QRegularExpression minSize(R"(-> (xdg_toplevel@\d+)\.set_min_size\((\d+), \d+\))");
  static const QRegularExpression maxSize(R"(-> (xdg_toplevel@\d+)\.set_max_size\((\d+), \d+\))");
  std::map<QString, QString> surfaceOf;  // xdg_surface -> wl_surface
  auto live = [&](const QString& object) -> Surface* {
    for (auto it = out.rbegin(); it != out.rend(); ++it)
      if (it->object == object && !it->destroyed) return &*it;
    return nullptr;
  };
  for (const QString& line : QString::fromStdString(protocolLog).split('\n')) {
    if (auto m = role.match(line); m.hasMatch()) surfaceOf[m.captured(1)] = m.captured(2);
    if (auto m = toplevel.match(line); m.hasMatch())
      out.push_back({m.captured(2), "toplevel", {}, false, surfaceOf[m.captured(1)]});
    if (auto m = enter.match(line); m.hasMatch())
      for (Surface& s : out)
        if (!s.destroyed && s.surface == m.captured(1)) s.hadKeyboard = true;
    if (auto m = popup.match(line); m.hasMatch()) out.push_back({m.captured(1), "popup", {}, false, {}});
    if (auto m = parent.match(line); m.hasMatch())
      if (Surface* s = live(m.captured(1))) s->kind = "child";
    if (auto m = minSize.match(line); m.hasMatch())
      if (Surface* s = live(m.captured(1))) s->minWidth = m.captured(2).toInt();
    if (auto m = maxSize.match(line); m.hasMatch())
      if (Surface* s = live(m.captured(1))) s->maxWidth = m.captured(2).toInt();
    if (auto m = title.match(line); m.hasMatch())
      if (Surface* s = live(m.captured(1))) s->title = m.captured(2);
    if (auto m = destroy.match(line); m.hasMatch())
      if (Surface* s = live(m.captured(1))) s->destroyed = true;
  }
  return out;
}

// The IPC socket of a sway session, as far as a client sees it: the commands
// it receives (RUN_COMMAND messages), each answered with success.
class FakeSway : public QObject {
 public:
  explicit FakeSway(const QString& path) {
    QLocalServer::removeServer(path);
    server_.listen(path);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
      while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      }
    });
  }
  bool listening() const { return server_.isListening(); }
  QStringList commands;

 private:
  void read(QLocalSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer += socket->readAll();
    constexpr int kHeader = 6 + 8;
    while (buffer.size() >= kHeader && buffer.startsWith("i3-ipc")) {
      quint32 length = 0, type = 0;
      memcpy(&length, buffer.constData() + 6, 4);
      memcpy(&type, buffer.constData() + 10, 4);
      if (buffer.size() < kHeader + qsizetype(length)) return;
      if (type == 0) commands << QString::fromUtf8(buffer.mid(kHeader, length));
      buffer.remove(0, kHeader + length);
      const QByteArray reply = R"([{"success":true}])";
      const quint32 header[2] = {quint32(reply.size()), type};
      socket->write(QByteArray("i3-ipc") + QByteArray(reinterpret_cast<const char*>(header), 8) + reply);
    }
  }
  QLocalServer server_;
  std::map<QLocalSocket*, QByteArray> buffers_;
};

std::vector<Surface> titled(const std::vector<Surface>& all, const QString& title) {
  std::vector<Surface> out;
  for (const Surface& s : all)
    if (s.title == title) out.push_back(s);
  return out;
}

TEST(WaylandPopover, AClickOpensATopLevelOfItsOwnThatSwayIsAskedToPutUnderTheClick) {
  const fs::path folder = session->makeFolder("app");
  const std::string display = "wayland-popover";
  // Inside the session's X server, weston has a seat: a keyboard, and so a
  // window of ours that has the focus when the tray is clicked.
  auto compositor =
      session->spawn({"weston", "--backend=x11-backend.so", "--use-pixman", "--shell=kiosk-shell.so",
                      "--socket=" + display, "--idle-time=0", "--no-config", "--width=1280", "--height=800"},
                     {}, "weston");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(session->runtimeDir() / display); }, 20s)) << compositor->log();

  QDBusConnection bus = QDBusConnection::sessionBus();
  ASSERT_TRUE(bus.isConnected());
  QObject watcherObject;
  auto* watcher = new Watcher(&watcherObject);
  ASSERT_TRUE(bus.registerObject("/StatusNotifierWatcher", &watcherObject));
  ASSERT_TRUE(bus.registerService("org.kde.StatusNotifierWatcher"));

  // Sway's IPC is how a client gets its window placed there; weston ignores it.
  const QString sway = QString::fromStdString((folder / "sway-ipc.sock").string());
  FakeSway fakeSway(sway);
  ASSERT_TRUE(fakeSway.listening());

  const fs::path settingsFile = folder / "settings.ini";
  QSettings(QString::fromStdString(settingsFile.string()), QSettings::IniFormat)
      .setValue("hasCompletedOnboarding", true);
  const std::map<std::string, std::string> env{{"TOVRELLE_DATA_DIR", (folder / "data").string()},
                                               {"TOVRELLE_SETTINGS_FILE", settingsFile.string()},
                                               {"XDG_CONFIG_HOME", (folder / "config").string()},
                                               {"WAYLAND_DISPLAY", display},
                                               {"QT_QPA_PLATFORM", "wayland"},
                                               {"DISPLAY", ""},
                                               {"WAYLAND_DEBUG", "client"},
                                               {"SWAYSOCK", sway.toStdString()}};
  const std::string program = (tovrelle::test::binaryDir() / "tovrelle").string();
  auto app = session->spawn({program}, env, "tovrelle");
  ASSERT_TRUE(waitUntil([&] { return !watcher->items.isEmpty(); }, 30s)) << app->log() << compositor->log();
  const QString item = watcher->items.first();
  auto click = [&](int x, int y) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate");
    call << x << y;
    return bus.call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
  };

  // Settings open first: the window of ours that last had input.
  auto settings = session->spawn({program, "--settings"}, env, "settings");
  EXPECT_EQ(settings->wait(20s), 0) << settings->log();
  ASSERT_TRUE(waitUntil([&] { return titled(surfaces(app->log()), "Tovrelle Settings").size() == 1; }, 20s))
      << app->log();
  static const QRegularExpression keyboardEnter(R"(wl_keyboard@\d+\.enter\()");
  ASSERT_TRUE(waitUntil([&] { return QString::fromStdString(app->log()).contains(keyboardEnter); }, 20s))
      << "the Settings window never had the keyboard";

  // A panel click (its position means nothing to a Wayland client).
  ASSERT_TRUE(click(300, 12));
  ASSERT_TRUE(waitUntil([&] { return titled(surfaces(app->log()), "Tovrelle").size() == 1; }, 20s)) << app->log();
  const Surface popover = titled(surfaces(app->log()), "Tovrelle").front();
  EXPECT_EQ(popover.kind.toStdString(), "toplevel");
  // Of one width, which tiling compositors take as a window to float.
  EXPECT_GT(popover.minWidth, 0);
  EXPECT_EQ(popover.maxWidth, popover.minWidth);
  for (const Surface& s : surfaces(app->log())) EXPECT_NE(s.kind.toStdString(), "popup") << s.title.toStdString();
  // Sway is asked to put it under the click (the screen is 1280x800), centred on it.
  const QString self = QStringLiteral("[pid=%1 title=\"^Tovrelle$\"]").arg(app->pid());
  ASSERT_TRUE(waitUntil([&] { return !fakeSway.commands.isEmpty(); }, 20s)) << app->log();
  EXPECT_EQ(fakeSway.commands.value(0).toStdString(),
            QStringLiteral("%1 move absolute position %2 17").arg(self).arg(300 - popover.minWidth / 2).toStdString());

  // It takes the keyboard and stays until the next click closes it.
  ASSERT_TRUE(waitUntil([&] { return titled(surfaces(app->log()), "Tovrelle").front().hadKeyboard; }, 20s))
      << app->log();
  ASSERT_FALSE(titled(surfaces(app->log()), "Tovrelle").front().destroyed);
  ASSERT_TRUE(click(300, 12));
  EXPECT_TRUE(waitUntil([&] { return titled(surfaces(app->log()), "Tovrelle").front().destroyed; }, 20s)) << app->log();
  EXPECT_FALSE(titled(surfaces(app->log()), "Tovrelle Settings").front().destroyed);

  // Opened again, Esc closes it (typed on the X keyboard weston reads).
  ASSERT_TRUE(click(0, 0));
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto shown = titled(surfaces(app->log()), "Tovrelle");
        return shown.size() == 2 && shown.back().hadKeyboard;
      },
      20s))
      << app->log();
  ASSERT_FALSE(titled(surfaces(app->log()), "Tovrelle").back().destroyed);
  // No position from the panel: at the pointer, where the click was.
  ASSERT_TRUE(waitUntil([&] { return fakeSway.commands.size() == 2; }, 20s)) << app->log();
  EXPECT_EQ(fakeSway.commands.value(1).toStdString(), (self + " move position cursor").toStdString());
  auto key = session->spawn({"xdotool", "key", "Escape"}, {}, "xdotool");
  key->wait(10s);
  EXPECT_TRUE(waitUntil([&] { return titled(surfaces(app->log()), "Tovrelle").back().destroyed; }, 20s)) << app->log();

  EXPECT_EQ(app->stop(), 0);
  bus.unregisterService("org.kde.StatusNotifierWatcher");
  bus.unregisterObject("/StatusNotifierWatcher");
  compositor->stop();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A bus and an X server of its own; weston is started by the test.
  PrivateSession desktop(tovrelle::test::SessionOptions{false, false, true});
  session = &desktop;
  int qtArgc = 1;
  char name[] = "shell_wayland_popover_tests";
  char* qtArgv[] = {name, nullptr};
  QCoreApplication app(qtArgc, qtArgv);
  return RUN_ALL_TESTS();
}

#include "WaylandPopoverTest.moc"
