#pragma once
// Installs, watches and removes the camera service that ships with the app.
// Its status is what the backend last did or found: not installed, starting
// (an install runs), running, or failed with the reason; a removal the user
// asked for is remembered across launches. Thread-bound (main thread): the
// status, the removal flags and the look throttle. The backend works on a
// thread of its own and answers on the main queue.
#include <QObject>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/model/Settings.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/log/Log.h"
#include "platform/userservice/CameraService.h"

namespace tovrelle {

class CameraServiceInstaller final : public QObject, public std::enable_shared_from_this<CameraServiceInstaller> {
  Q_OBJECT

 public:
  struct Failure {
    QString message;         // localized text of messageKey
    std::string messageKey;  // "serviceError.…"
    QString diagnostic;      // "<domain> #<code>[: <description>]"
    bool needsSupport = false;

    // The message key is where the message comes from, not part of its value.
    bool operator==(const Failure& other) const {
      return message == other.message && diagnostic == other.diagnostic && needsSupport == other.needsSupport;
    }
  };

  struct Status {
    enum class Case { failed, notInstalled, starting, running };

    Case kind = Case::notInstalled;
    std::optional<Failure> failure;  // set for `failed` only

    static Status failed(Failure f) { return Status{Case::failed, std::move(f)}; }
    static Status notInstalled() { return Status{Case::notInstalled, std::nullopt}; }
    static Status starting() { return Status{Case::starting, std::nullopt}; }
    static Status running() { return Status{Case::running, std::nullopt}; }

    bool is(Case c) const { return kind == c; }
    bool operator==(const Status&) const = default;
  };

  // Turns a message key into the text shown to the user.
  using Localizer = std::function<QString(const char* key)>;

  struct Environment {
    std::shared_ptr<userservice::CameraService> service;
    std::shared_ptr<dispatch::Queue> mainQueue;
    std::filesystem::path appPrefix;  // install prefix holding the app's copy of the service
    Localizer localize;               // qtTrId when empty
    // Where the user's removal is remembered across launches; in memory only
    // when empty.
    std::function<bool()> loadRemovedByUser = {};
    std::function<void(bool)> storeRemovedByUser = {};
  };

  // The settings key that remembers a removal.
  static constexpr const char* kRemovedByUserKey = settings_keys::kCameraServiceRemovedByUser;
  static constexpr dispatch::Duration kDisplayLookThrottle = std::chrono::seconds(1);

  static std::shared_ptr<CameraServiceInstaller> create(Environment environment);
  ~CameraServiceInstaller() override;

  const Status& status() const { return status_; }

  // Installs when the user asks for it (setup guide, Settings, the popover,
  // --install-camera); this also ends a remembered removal. Unless `force`,
  // a running service of the app's version is left as it is.
  void install(bool force);
  // What a launch does: installs unless the user removed the camera service,
  // in which case it only looks at what is installed.
  void installAtLaunch();
  // The user removed the camera service and has not asked for it again since.
  bool isRemovedByUser() const { return removedByUser_; }
  // Looks at the service again, at most once a second.
  void refreshStatusForDisplay();
  // Looks now, without the throttle; `done` gets whether the backend could tell.
  void lookNow(std::function<void(bool answered)> done = {});
  // Stops the camera service and removes it with every installed copy; the
  // status becomes `notInstalled` (or `failed`). `done` gets whether it
  // worked. Not while `starting` or while a removal runs (then `done(false)`
  // at once).
  void remove(std::function<void(bool removed)> done = {});
  bool isRemoving() const { return removing_; }

  Failure mapFailure(const userservice::Error& error) const;

  // The app's copy of the service and its version.
  std::filesystem::path shippedServicePath() const;
  std::optional<userservice::ServiceVersion> shippedServiceVersion() const;

 signals:
  void statusWillChange();
  void statusChanged();
  void removingChanged();

 private:
  explicit CameraServiceInstaller(Environment environment);

  void setStatus(Status status);
  void startInstall();
  void installFinished(std::optional<userservice::Error> error);
  // Moves the status after a look that was not part of an install.
  void applyLook(const userservice::Installed& installed);
  void setRemovedByUser(bool removed);
  QString localized(const char* key) const;

  Environment env_;
  log::Logger logger_{"ossel.tovrelle", "CameraServiceInstaller"};

  Status status_ = Status::notInstalled();
  bool removing_ = false;
  bool removedByUser_ = false;
  int looksOut_ = 0;
  std::optional<dispatch::Clock::time_point> lastDisplayLook_;
};

}  // namespace tovrelle
