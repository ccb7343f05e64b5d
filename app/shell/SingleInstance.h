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

  // A control command's answer: one line for the user.
  struct Reply {
    bool ok = false;
    QString text;
  };
  // Answers a command it knows; none for a verb it does not know, so the
  // next handler is asked.
  using CommandHandler = std::function<std::optional<Reply>(const QString& verb, const QString& argument)>;
  // On the primary instance.
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
  QByteArray answer(const QByteArray& line);

  QString folder_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
  std::vector<CommandHandler> handlers_;
};

}  // namespace tovrelle
