// The portal's GlobalShortcuts interface: one session per process, opened on
// the first bind, with every later bind replacing the whole set. Each call
// answers with a request object whose Response signal carries the result, so
// the Response subscription is made before the call goes out.
//
// Thread-bound (main thread): QtDBus delivers on the main thread's event
// loop, and the session, requests and state are only touched there.
#include "platform/hotkeys/portal/DesktopPortalShortcuts.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QTimer>
#include <map>
#include <optional>

#include "platform/log/Log.h"

namespace tovrelle::hotkeys {
namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

struct ShortcutEntry {
  QString id;
  QVariantMap properties;
};
using ShortcutEntries = QList<ShortcutEntry>;

QDBusArgument& operator<<(QDBusArgument& argument, const ShortcutEntry& entry) {
  argument.beginStructure();
  argument << entry.id << entry.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ShortcutEntry& entry) {
  argument.beginStructure();
  argument >> entry.id >> entry.properties;
  argument.endStructure();
  return argument;
}

}  // namespace
}  // namespace tovrelle::hotkeys

Q_DECLARE_METATYPE(tovrelle::hotkeys::ShortcutEntry)
Q_DECLARE_METATYPE(tovrelle::hotkeys::ShortcutEntries)

namespace tovrelle::hotkeys {
namespace {

// "trigger_description" of each shortcut the desktop reports, for the log.
QString describe(const QVariant& shortcuts) {
  ShortcutEntries entries;
  if (shortcuts.canConvert<QDBusArgument>()) shortcuts.value<QDBusArgument>() >> entries;
  QStringList parts;
  for (const ShortcutEntry& entry : entries) {
    const QString trigger = entry.properties.value(QStringLiteral("trigger_description")).toString();
    parts << entry.id + QLatin1Char('=') + (trigger.isEmpty() ? QStringLiteral("unset") : trigger);
  }
  return parts.join(QLatin1Char(' '));
}

class DesktopPortalShortcuts final : public QObject, public ShortcutPortal {
  Q_OBJECT

 public:
  explicit DesktopPortalShortcuts(std::chrono::milliseconds answerTimeout)
      : bus_(QDBusConnection::sessionBus()), answerTimeout_(answerTimeout) {
    qDBusRegisterMetaType<ShortcutEntry>();
    qDBusRegisterMetaType<ShortcutEntries>();
  }

  void bind(std::vector<PortalShortcut> shortcuts) override {
    wanted_ = std::move(shortcuts);
    bindPending_ = true;
    if (inFlight_) return;  // taken up when the current request answers
    next();
  }

  State state() const override { return state_; }

 public slots:
  void onResponse(const QDBusMessage& message) {
    auto it = requests_.find(message.path());
    if (it == requests_.end() || message.arguments().size() < 2) return;
    auto handler = std::move(it->second.handler);
    delete it->second.timer;
    requests_.erase(it);
    bus_.disconnect(kService, message.path(), kRequest, QStringLiteral("Response"), this,
                    SLOT(onResponse(QDBusMessage)));
    inFlight_ = false;
    const uint response = message.arguments().at(0).toUInt();
    const QVariantMap results = qdbus_cast<QVariantMap>(message.arguments().at(1));
    handler(response, results);
  }

  void onActivated(const QDBusMessage& message) { forward(message, callbacks_.activated); }
  void onDeactivated(const QDBusMessage& message) { forward(message, callbacks_.deactivated); }

  void onSessionClosed(const QDBusMessage& message) {
    if (message.path() != session_) return;
    dropSession();
    // Asked again with the next bind (a changed shortcut, the next launch).
    setState(State::unavailable, "the desktop closed the global shortcut session");
  }

 private:
  struct PendingRequest {
    std::function<void(uint, const QVariantMap&)> handler;
    QTimer* timer = nullptr;
  };

  void next() {
    if (!bindPending_) return;
    if (session_.isEmpty()) {
      createSession();
    } else {
      bindShortcuts();
    }
  }

  void forward(const QDBusMessage& message, const std::function<void(const std::string&)>& callback) {
    const QVariantList args = message.arguments();
    if (args.size() < 2 || session_.isEmpty()) return;
    if (args.at(0).value<QDBusObjectPath>().path() != session_) return;
    if (callback) callback(args.at(1).toString().toStdString());
  }

  void setState(State state, const std::string& reason = {}) {
    state_ = state;
    if (callbacks_.stateChanged) callbacks_.stateChanged(state, reason);
  }

  QString nextToken() { return QStringLiteral("tovrelle%1").arg(++tokenCounter_); }

  // Where the portal will put the request object for `token`.
  QString requestPath(const QString& token) const {
    QString sender = bus_.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
  }

  // Sends `method`, then waits for its request's Response.
  void call(const QString& method, QVariantList args, const QString& token,
            std::function<void(uint, const QVariantMap&)> onAnswer) {
    if (!bus_.isConnected()) {
      setState(State::unavailable, "no session bus");
      return;
    }
    const QString path = requestPath(token);
    bus_.connect(kService, path, kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, path, method] { giveUp(path, method + " got no answer"); });
    timer->start(answerTimeout_);
    requests_[path] = {std::move(onAnswer), timer};
    inFlight_ = true;
    if (state_ != State::bound) setState(State::binding);

    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    message.setArguments(args);
    auto* watcher =
        new QDBusPendingCallWatcher(bus_.asyncCall(message, static_cast<int>(answerTimeout_.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, path, method](QDBusPendingCallWatcher* w) {
      w->deleteLater();
      QDBusPendingReply<QDBusObjectPath> reply = *w;
      if (reply.isError()) {
        const QString name = reply.error().name();
        std::string reason;
        if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
          reason = "no desktop portal on the session bus";
        else if (name == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
                 name == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface"))
          reason = "the desktop portal has no global shortcuts";
        else
          reason = (method + QStringLiteral(" failed: ") + reply.error().message()).toStdString();
        giveUp(path, reason);
      } else if (reply.value().path() != path && requests_.count(path)) {
        // An older portal names the request itself: follow it there.
        const QString actual = reply.value().path();
        bus_.disconnect(kService, path, kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
        bus_.connect(kService, actual, kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
        requests_[actual] = std::move(requests_[path]);
        requests_.erase(path);
      }
    });
  }

  void giveUp(const QString& path, const QString& reason) { giveUp(path, reason.toStdString()); }
  void giveUp(const QString& path, const std::string& reason) {
    auto it = requests_.find(path);
    if (it != requests_.end()) {
      delete it->second.timer;
      requests_.erase(it);
    }
    bus_.disconnect(kService, path, kRequest, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
    inFlight_ = false;
    bindPending_ = false;
    setState(State::unavailable, reason);
  }

  void createSession() {
    const QString token = nextToken();
    QVariantMap options{{QStringLiteral("handle_token"), token}, {QStringLiteral("session_handle_token"), nextToken()}};
    call(QStringLiteral("CreateSession"), {options}, token, [this](uint response, const QVariantMap& results) {
      const QVariant handle = results.value(QStringLiteral("session_handle"));
      const QString session =
          handle.canConvert<QDBusObjectPath>() && handle.userType() == qMetaTypeId<QDBusObjectPath>()
              ? handle.value<QDBusObjectPath>().path()
              : handle.toString();
      if (response != 0 || session.isEmpty()) {
        bindPending_ = false;
        setState(State::unavailable, log::format("the desktop refused a shortcut session (response %u)", response));
        return;
      }
      session_ = session;
      bus_.connect(kService, session_, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed(QDBusMessage)));
      bus_.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
      bus_.connect(kService, kPath, kInterface, QStringLiteral("Deactivated"), this, SLOT(onDeactivated(QDBusMessage)));
      next();
    });
  }

  void bindShortcuts() {
    bindPending_ = false;
    ShortcutEntries entries;
    for (const PortalShortcut& shortcut : wanted_) {
      QVariantMap properties{{QStringLiteral("description"), QString::fromStdString(shortcut.description)}};
      if (!shortcut.preferredTrigger.empty())
        properties.insert(QStringLiteral("preferred_trigger"), QString::fromStdString(shortcut.preferredTrigger));
      entries.append({QString::fromStdString(shortcut.id), properties});
    }
    const QString token = nextToken();
    QVariantMap options{{QStringLiteral("handle_token"), token}};
    call(QStringLiteral("BindShortcuts"),
         {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(entries), QString(), options}, token,
         [this](uint response, const QVariantMap& results) {
           if (response != 0) {
             setState(State::unavailable, log::format("the desktop refused the shortcuts (response %u)", response));
             return;
           }
           log::processLog("KeyboardShortcuts: the desktop bound %s",
                           qPrintable(describe(results.value(QStringLiteral("shortcuts")))));
           setState(State::bound);
           if (bindPending_) {
             next();
           } else {
             listShortcuts();
           }
         });
  }

  // What the user may have changed in the desktop's own dialog since.
  void listShortcuts() {
    const QString token = nextToken();
    QVariantMap options{{QStringLiteral("handle_token"), token}};
    call(QStringLiteral("ListShortcuts"), {QVariant::fromValue(QDBusObjectPath(session_)), options}, token,
         [this](uint response, const QVariantMap& results) {
           if (response == 0)
             log::processLog("KeyboardShortcuts: the desktop lists %s",
                             qPrintable(describe(results.value(QStringLiteral("shortcuts")))));
           next();
         });
  }

  void dropSession() {
    if (session_.isEmpty()) return;
    bus_.disconnect(kService, session_, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed(QDBusMessage)));
    bus_.disconnect(kService, kPath, kInterface, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    bus_.disconnect(kService, kPath, kInterface, QStringLiteral("Deactivated"), this,
                    SLOT(onDeactivated(QDBusMessage)));
    session_.clear();
  }

  QDBusConnection bus_;
  std::chrono::milliseconds answerTimeout_;
  State state_ = State::idle;
  std::vector<PortalShortcut> wanted_;
  bool bindPending_ = false;
  bool inFlight_ = false;
  QString session_;
  int tokenCounter_ = 0;
  std::map<QString, PendingRequest> requests_;
};

}  // namespace

std::unique_ptr<ShortcutPortal> makeDesktopPortalShortcuts(std::chrono::milliseconds answerTimeout) {
  return std::make_unique<DesktopPortalShortcuts>(answerTimeout);
}

}  // namespace tovrelle::hotkeys

#include "DesktopPortalShortcuts.moc"
