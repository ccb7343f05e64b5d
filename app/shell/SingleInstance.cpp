#include "app/shell/SingleInstance.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

#include <algorithm>

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include "platform/log/Log.h"
#include "shared/BaseDirs.h"
#include "shared/Files.h"

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
constexpr qint64 kReadBuffer = 4 * kMaxLine;
// Lines one peer gets handled per turn of the event loop, and in all.
constexpr int kLinesPerTurn = 8;
constexpr int kMaxLinesPerConnection = 64;
constexpr int kRefusalReportMs = 10000;
constexpr const char* kLinesRead = "tovrelleLinesRead";
constexpr const char* kDrainPending = "tovrelleDrainPending";

// The user id of the process at the other end of a local socket.
std::optional<uid_t> peerUid(qintptr descriptor) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (descriptor < 0 || ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
    return std::nullopt;
  return credentials.uid;
}

void drop(QLocalSocket* socket) {
  socket->abort();
  socket->deleteLater();
}

}  // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent) : QObject(parent) {
  if (folder.isEmpty()) {
    Folder chosen = defaultFolder();
    folder_ = std::move(chosen.path);
    folderProblem_ = std::move(chosen.problem);
  } else {
    folder_ = std::move(folder);
    if (auto made = ensurePrivateFolder(folder_.toStdString()); !made)
      folderProblem_ = QString::fromStdString(made.error());
  }
  refusalReport_.setSingleShot(true);
  refusalReport_.setInterval(kRefusalReportMs);
  connect(&refusalReport_, &QTimer::timeout, this, &SingleInstance::reportRefusals);
}

SingleInstance::~SingleInstance() {
  server_.close();
  if (lock_ && lock_->isLocked()) lock_->unlock();
  reportRefusals();
}

SingleInstance::Folder SingleInstance::defaultFolder() {
  const QString runtime = QString::fromStdString(basedirs::runtimeDir().value_or("").string());
  if (!runtime.isEmpty() && QDir(runtime).exists()) {
    const auto made = ensurePrivateFolder(runtime.toStdString());
    if (made) return {runtime, std::nullopt};
    log::processLog("TovrelleApp: not using XDG_RUNTIME_DIR for the control socket: %s", made.error().c_str());
  }
  // Anyone can create names in the temp folder: this one counts only if it is ours alone.
  const QString fallback = QDir::temp().filePath(QStringLiteral("tovrelle-%1").arg(::geteuid()));
  const auto made = ensurePrivateFolder(fallback.toStdString());
  return {fallback, made ? std::nullopt : std::optional<QString>(QString::fromStdString(made.error()))};
}

QString SingleInstance::lockPath() const { return QDir(folder_).filePath(QStringLiteral("velkari.tovrelle.lock")); }

QString SingleInstance::socketPath() const { return QDir(folder_).filePath(QStringLiteral("velkari.tovrelle.socket")); }

bool SingleInstance::becomePrimary() {
  if (folderProblem_) {
    log::processLog(
        "TovrelleApp: other launches and control commands cannot reach this Tovrelle: %s; remove it or set "
        "XDG_RUNTIME_DIR to a folder of your own, then start Tovrelle again",
        qPrintable(*folderProblem_));
    return true;
  }
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
    // The folder keeps others out; the credentials make sure of it.
    const auto uid = peerUid(socket->socketDescriptor());
    if (!uid || *uid != ::geteuid()) {
      refuse("a control connection from another user");
      drop(socket);
      continue;
    }
    // Qt stops reading from a peer whose lines wait here, so a flood stays in its own socket.
    socket->setReadBufferSize(kReadBuffer);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { drain(socket); });
  }
}

void SingleInstance::drain(QLocalSocket* socket) {
  if (socket->property(kDrainPending).toBool()) return;
  int lines = socket->property(kLinesRead).toInt();
  for (int n = 0; n < kLinesPerTurn && socket->canReadLine(); ++n) {
    // A launch sends one line; a peer that keeps sending is not one.
    if (++lines > kMaxLinesPerConnection) {
      refuse("a control connection that sent too many lines (dropped it)");
      drop(socket);
      return;
    }
    socket->setProperty(kLinesRead, lines);
    const QByteArray line = socket->readLine(kMaxLine).trimmed();
    if (line.startsWith(kCommand)) {
      answer(socket, line.mid(static_cast<int>(qstrlen(kCommand))));
      continue;
    }
    std::optional<Request> request;
    if (line == kShowPopover) request = Request::showPopover;
    if (line == kOpenSettings) request = Request::openSettings;
    if (!request) {
      refuse("a control connection that sent an unknown request (dropped it)");
      drop(socket);
      return;
    }
    socket->write(kAcknowledge);
    socket->write("\n");
    socket->flush();
    emit requested(*request);
  }
  if (socket->canReadLine()) {
    // The rest waits for the next turn of the event loop: the heartbeat and the windows go first.
    socket->setProperty(kDrainPending, true);
    QTimer::singleShot(0, socket, [this, socket] {
      socket->setProperty(kDrainPending, false);
      drain(socket);
    });
    return;
  }
  // Nobody sends long lines: drop a peer that does.
  if (socket->bytesAvailable() > kMaxLine) {
    refuse("a control connection that sent an overlong line (dropped it)");
    drop(socket);
  }
}

void SingleInstance::refuse(const char* what) {
  auto found = std::find_if(refusals_.begin(), refusals_.end(), [what](const Refusals& r) { return r.what == what; });
  if (found == refusals_.end()) {
    refusals_.push_back({what, 0});
    log::processLog("TovrelleApp: refused %s", what);
    if (!refusalReport_.isActive()) refusalReport_.start();
    return;
  }
  ++found->unreported;
}

void SingleInstance::reportRefusals() {
  // A kind refused again since its last line is counted in one more line; a quiet kind is
  // forgotten, so its next refusal is logged at once.
  std::vector<Refusals> still;
  for (const Refusals& refusal : refusals_) {
    if (refusal.unreported == 0) continue;
    log::processLog("TovrelleApp: refused %d more: %s", refusal.unreported, refusal.what);
    still.push_back({refusal.what, 0});
  }
  refusals_ = std::move(still);
  if (!refusals_.empty()) refusalReport_.start();
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
  refuse("an unknown control command");
  respond({2, QStringLiteral("this Tovrelle does not know that command")});
}

bool SingleInstance::otherInstanceRunning() const {
  if (folderProblem_) return false;
  QLockFile lock(lockPath());
  qint64 pid = 0;
  QString host, app;
  if (!lock.getLockInfo(&pid, &host, &app) || pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// One line to the running instance and its one-line answer, tried again
// until the deadline: that instance may still be starting up.
std::optional<QByteArray> SingleInstance::exchange(const QByteArray& message, int timeoutMs, bool whileRunning) const {
  if (folderProblem_) return std::nullopt;
  QDeadlineTimer deadline(timeoutMs);
  auto left = [&] { return static_cast<int>(std::max<qint64>(1, deadline.remainingTime())); };
  while (!whileRunning || otherInstanceRunning()) {
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (socket.waitForConnected(left())) {
      const auto uid = peerUid(socket.socketDescriptor());
      if (!uid || *uid != ::geteuid()) {
        log::processLog("TovrelleApp: %s is not served by this user's Tovrelle; not talking to it",
                        qPrintable(socketPath()));
        return std::nullopt;
      }
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

std::optional<SingleInstance::Reply> SingleInstance::send(const QString& verb, const QString& argument, int timeoutMs) {
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
