#include "app/shell/SingleInstance.h"

#include <signal.h>
#include <cerrno>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include "platform/log/Log.h"

namespace tovrelle {
namespace {

constexpr const char* kShowPopover = "show-popover";
constexpr const char* kOpenSettings = "open-settings";
constexpr const char* kAcknowledge = "ok";
// "cmd VERB ARGUMENT", the argument percent-encoded so any name stays one
// line; answered with "EXITCODE TEXT".
constexpr const char* kCommand = "cmd ";
// Image names are short, but a line must fit whatever a script passes.
constexpr qint64 kMaxLine = 4096;

}  // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent), folder_(folder.isEmpty() ? defaultFolder() : std::move(folder)) {}

SingleInstance::~SingleInstance() {
  server_.close();
  if (lock_ && lock_->isLocked()) lock_->unlock();
}

QString SingleInstance::defaultFolder() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(runtime).exists()) return runtime;
  const QString fallback = QDir::temp().filePath(QStringLiteral("tovrelle-%1").arg(::getuid()));
  QDir().mkpath(fallback);
  QFile::setPermissions(fallback, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return fallback;
}

QString SingleInstance::lockPath() const { return QDir(folder_).filePath(QStringLiteral("velkari.tovrelle.lock")); }

QString SingleInstance::socketPath() const { return QDir(folder_).filePath(QStringLiteral("velkari.tovrelle.socket")); }

bool SingleInstance::becomePrimary() {
  lock_ = std::make_unique<QLockFile>(lockPath());
  // Never stale by age (the holder runs for days); a lock whose process is gone is still taken over.
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(0)) {
    if (lock_->error() != QLockFile::LockFailedError)
      log::processLog("TovrelleApp: cannot create the instance lock %s", qPrintable(lockPath()));
    return false;
  }
  // Only the lock holder gets here, so a socket file left over from a crash can go.
  QLocalServer::removeServer(socketPath());
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_.listen(socketPath())) {
    log::processLog("TovrelleApp: cannot listen on %s: %s", qPrintable(socketPath()),
                    qPrintable(server_.errorString()));
  } else {
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::serve);
  }
  return true;
}

void SingleInstance::serve() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      while (socket->canReadLine()) {
        const QByteArray line = socket->readLine(kMaxLine).trimmed();
        if (line.startsWith(kCommand)) {
          answer(socket, line.mid(static_cast<int>(qstrlen(kCommand))));
          continue;
        }
        std::optional<Request> request;
        if (line == kShowPopover) request = Request::showPopover;
        if (line == kOpenSettings) request = Request::openSettings;
        if (!request) {
          socket->abort();
          return;
        }
        socket->write(kAcknowledge);
        socket->write("\n");
        socket->flush();
        emit requested(*request);
      }
      // Nobody sends long lines: drop a peer that does.
      if (socket->bytesAvailable() > kMaxLine) socket->abort();
    });
  }
}

void SingleInstance::answer(QLocalSocket* socket, const QByteArray& command) {
  const int space = command.indexOf(' ');
  const QString verb = QString::fromUtf8(space < 0 ? command : command.left(space));
  const QString argument = space < 0 ? QString() : QUrl::fromPercentEncoding(command.mid(space + 1));
  QPointer<QLocalSocket> peer(socket);
  const Respond respond = [peer](const Reply& reply) {
    // The asking launch may have given up meanwhile.
    if (!peer) return;
    QString text = reply.text;
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    peer->write(QByteArray::number(reply.exitCode) + ' ' + text.toUtf8() + '\n');
    peer->flush();
  };
  for (const CommandHandler& handler : handlers_)
    if (handler(verb, argument, respond)) return;
  log::processLog("TovrelleApp: ignoring an unknown control command from another launch");
  respond({2, QStringLiteral("this Tovrelle does not know that command")});
}

bool SingleInstance::otherInstanceRunning() const {
  QLockFile lock(lockPath());
  qint64 pid = 0;
  QString host, app;
  if (!lock.getLockInfo(&pid, &host, &app) || pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// One line to the running instance and its one-line answer, tried again
// until the deadline: that instance may still be starting up.
std::optional<QByteArray> SingleInstance::exchange(const QByteArray& message, int timeoutMs, bool whileRunning) const {
  QDeadlineTimer deadline(timeoutMs);
  auto left = [&] { return static_cast<int>(std::max<qint64>(1, deadline.remainingTime())); };
  while (!whileRunning || otherInstanceRunning()) {
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (socket.waitForConnected(left())) {
      socket.write(message);
      socket.flush();
      while (!socket.canReadLine() && socket.waitForReadyRead(left())) {
      }
      if (socket.canReadLine()) return socket.readLine(kMaxLine).trimmed();
    }
    if (deadline.hasExpired()) break;
    QThread::msleep(100);
  }
  return std::nullopt;
}

std::optional<SingleInstance::Reply> SingleInstance::send(const QString& verb, const QString& argument,
                                                          int timeoutMs) {
  QByteArray message = kCommand + verb.toUtf8();
  if (!argument.isEmpty()) message += ' ' + QUrl::toPercentEncoding(argument);
  const auto reply = exchange(message + '\n', timeoutMs, true);
  if (!reply) return std::nullopt;
  const QString line = QString::fromUtf8(*reply);
  const int space = line.indexOf(QLatin1Char(' '));
  bool numeric = false;
  const int code = (space < 0 ? line : line.left(space)).toInt(&numeric);
  return Reply{numeric ? code : 1, space < 0 ? QString() : line.mid(space + 1)};
}

bool SingleInstance::forward(Request request, int timeoutMs) {
  const QByteArray message = QByteArray(request == Request::openSettings ? kOpenSettings : kShowPopover) + "\n";
  return exchange(message, timeoutMs, false) == QByteArray(kAcknowledge);
}

}  // namespace tovrelle
