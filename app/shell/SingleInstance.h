#pragma once
// One running host per user: the host is the only writer of the data folder.
// The first instance holds a lock file in the runtime folder and listens on a
// local socket next to it; a later one finds the lock taken, asks the running
// one to show its popover (or its settings) and exits. The same channel
// carries control commands from the command line ("camera-off", "image NAME"),
// each answered with one line.
//
// The folder is this user's alone (0700, owned by them) and every peer must
// be this user, so nobody else can answer a launch, send it commands or hold
// its lock. A peer gets a few lines per turn of the event loop and is dropped
// when it floods; refusals are logged once with a count.
// Thread-bound (main thread).
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QTimer>
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
  // (or a per-user folder in the temp folder when that is not set or not
  // safe).
  explicit SingleInstance(QString folder = {}, QObject* parent = nullptr);
  ~SingleInstance() override;

  // Takes the lock and starts listening. False when another instance holds it.
  // In a folder that is not safe it neither locks nor listens, says so once
  // and returns true: the app runs, unreachable from other launches.
  bool becomePrimary();
  // Why the folder cannot be used (another user's, open to others, a link).
  const std::optional<QString>& folderProblem() const { return folderProblem_; }
  // Hands `request` to the running instance; true once it acknowledged.
  // Retries for up to `timeoutMs` while that instance is still starting.
  bool forward(Request request, int timeoutMs = 5000);

  QString lockPath() const;
  QString socketPath() const;

  // The folder to use and, when even the fallback is unsafe, why.
  struct Folder {
    QString path;
    std::optional<QString> problem;
  };
  static Folder defaultFolder();

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
  void drain(QLocalSocket* socket);
  void answer(QLocalSocket* socket, const QByteArray& command);
  // Logs the first refusal of a kind at once and the rest as one count later.
  void refuse(const char* what);
  void reportRefusals();
  std::optional<QByteArray> exchange(const QByteArray& message, int timeoutMs, bool whileRunning) const;

  QString folder_;
  std::optional<QString> folderProblem_;
  struct Refusals {
    const char* what;
    int unreported = 0;
  };
  std::vector<Refusals> refusals_;
  QTimer refusalReport_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
  std::vector<CommandHandler> handlers_;
};

}  // namespace tovrelle
