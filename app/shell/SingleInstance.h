#pragma once
// One running host per user: the host is the only writer of the data folder.
// The first instance holds a lock file in the runtime folder and listens on a
// local socket next to it; a later one finds the lock taken, asks the running
// one to show its popover (or its settings) and exits.
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace tovrelle {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  enum class Request { showPopover, openSettings };

  // `folder`: where the lock and the socket live; empty: $XDG_RUNTIME_DIR
  // (or a per-user folder in the temp folder when that is not set).
  explicit SingleInstance(QString folder = {}, QObject* parent = nullptr);
  ~SingleInstance() override;

  // Takes the lock and starts listening. False when another instance holds it.
  bool becomePrimary();
  // Hands `request` to the running instance; true once it acknowledged.
  // Retries for up to `timeoutMs` while that instance is still starting.
  bool forward(Request request, int timeoutMs = 5000);

  // Commands with an answer (the camera service's command line): the
  // primary instance hands each to `handler`, which replies once, later.
  using CommandHandler = std::function<void(const QByteArray& command, std::function<void(const QByteArray&)> reply)>;
  void setCommandHandler(CommandHandler handler) { commandHandler_ = std::move(handler); }
  // Sends `command` to the running instance and waits for its one-line reply.
  std::optional<QByteArray> ask(const QByteArray& command, int timeoutMs);

  QString lockPath() const;
  QString socketPath() const;

  static QString defaultFolder();

 signals:
  // Another launch asked for something (on the primary instance).
  void requested(Request request);

 private:
  void serve();

  QString folder_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
  CommandHandler commandHandler_;
};

}  // namespace tovrelle
