#include "app/shell/SingleInstance.h"

#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>

#include "platform/log/Log.h"

namespace tovrelle {
namespace {

constexpr const char* kShowPopover = "show-popover";
constexpr const char* kOpenSettings = "open-settings";
constexpr const char* kAcknowledge = "ok";
constexpr const char* kCommandPrefix = "command ";

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
        const QByteArray line = socket->readLine(64).trimmed();
        if (line.startsWith(kCommandPrefix) && commandHandler_) {
          QPointer<QLocalSocket> peer(socket);
          commandHandler_(line.mid(static_cast<int>(qstrlen(kCommandPrefix))), [peer](const QByteArray& reply) {
            if (!peer) return;
            peer->write(reply + '\n');
            peer->flush();
          });
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
      if (socket->bytesAvailable() > 64) socket->abort();
    });
  }
}

std::optional<QByteArray> SingleInstance::ask(const QByteArray& command, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  QLocalSocket socket;
  socket.connectToServer(socketPath());
  if (!socket.waitForConnected(5000)) return std::nullopt;
  socket.write(kCommandPrefix + command + '\n');
  socket.flush();
  while (!socket.canReadLine() &&
         socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
  }
  if (!socket.canReadLine()) return std::nullopt;
  return socket.readLine(4096).trimmed();
}

bool SingleInstance::forward(Request request, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  const QByteArray message = QByteArray(request == Request::openSettings ? kOpenSettings : kShowPopover) + "\n";
  do {
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (socket.waitForConnected(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
      socket.write(message);
      socket.flush();
      while (!socket.canReadLine() && socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
      }
      if (socket.canReadLine() && socket.readLine().trimmed() == kAcknowledge) return true;
    }
    // The running instance may still be starting up.
    QThread::msleep(100);
  } while (!deadline.hasExpired());
  return false;
}

}  // namespace tovrelle
