#include "platform/tray/SwayIpc.h"

#include <QCoreApplication>
#include <QLocalSocket>

namespace tovrelle::tray {

bool swayAvailable() { return !qEnvironmentVariableIsEmpty("SWAYSOCK"); }

bool swayCommand(const QString& command) {
  if (!swayAvailable() || !QCoreApplication::instance()) return false;
  // "i3-ipc", payload length, message type 0 (RUN_COMMAND), in host byte order.
  const QByteArray payload = command.toUtf8();
  QByteArray message("i3-ipc");
  const quint32 header[2] = {quint32(payload.size()), 0};
  message.append(reinterpret_cast<const char*>(header), sizeof header);
  message.append(payload);
  auto* socket = new QLocalSocket(QCoreApplication::instance());
  QObject::connect(socket, &QLocalSocket::connected, socket, [socket, message] { socket->write(message); });
  // Any reply, or none, ends the exchange.
  QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] { socket->disconnectFromServer(); });
  QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
  QObject::connect(socket, &QLocalSocket::errorOccurred, socket, [socket] { socket->deleteLater(); });
  socket->connectToServer(qEnvironmentVariable("SWAYSOCK"));
  return true;
}

}  // namespace tovrelle::tray
