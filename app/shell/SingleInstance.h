#pragma once
// One running host per user: the host is the only writer of the data folder.
// The first instance holds a lock file in the runtime folder and listens on a
// local socket next to it; a later one finds the lock taken, asks the running
// one to show its popover (or its settings) and exits. The same channel
// carries control commands from the command line ("camera-off", "image NAME"),
// each answered with one line.
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLocalSocket;

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

  QString lockPath() const;
  QString socketPath() const;

  static QString defaultFolder();

  // A control command's answer: one line for the user and the exit status
  // the asking launch ends with (0 for success).
  struct Reply {
    int exitCode = 1;
    QString text;
    bool ok() const { return exitCode == 0; }
  };
  using Respond = std::function<void(const Reply&)>;
  // Takes a command it knows and answers it once, at once or later (an
  // install waits for the camera); false for a verb it does not know, so the
  // next handler is asked. On the primary instance.
  using CommandHandler = std::function<bool(const QString& verb, const QString& argument, const Respond& respond)>;
  void addCommandHandler(CommandHandler handler) { handlers_.push_back(std::move(handler)); }

  // Whether a live process holds the lock, without taking it.
  bool otherInstanceRunning() const;
  // Sends a command to the running instance. None when no instance runs or
  // it did not answer within `timeoutMs`.
  std::optional<Reply> send(const QString& verb, const QString& argument = {}, int timeoutMs = 5000);

 signals:
  // Another launch asked for something (on the primary instance).
  void requested(Request request);

 private:
  void serve();
  void answer(QLocalSocket* socket, const QByteArray& command);
  std::optional<QByteArray> exchange(const QByteArray& message, int timeoutMs, bool whileRunning) const;

  QString folder_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
  std::vector<CommandHandler> handlers_;
};

}  // namespace tovrelle
