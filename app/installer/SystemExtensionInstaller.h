#pragma once
// Installs and watches the camera extension that ships with the app. The
// system's request callbacks are not trusted on their own: every request is
// paired with a deadline, a watchdog and property probes, and `status` is
// reconciled with what the system reports. Main thread only.
#include <QObject>
#include <QString>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/model/Settings.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/log/Log.h"
#include "platform/sysext/ExtensionBundle.h"
#include "platform/sysext/SystemExtensions.h"

namespace tovrelle {

class SystemExtensionInstaller final : public QObject,
                                       public sysext::RequestDelegate,
                                       public std::enable_shared_from_this<SystemExtensionInstaller> {
  Q_OBJECT

 public:
  struct Failure {
    QString message;          // localized text of messageKey
    std::string messageKey;   // "extensionError.…"
    QString diagnostic;       // "<domain> #<code>[: <description>]"
    bool opensSecuritySettings = false;
    bool needsSupport = false;

    // The message key is where the message comes from, not part of its value.
    bool operator==(const Failure& other) const {
      return message == other.message && diagnostic == other.diagnostic &&
             opensSecuritySettings == other.opensSecuritySettings && needsSupport == other.needsSupport;
    }
  };

  struct Status {
    enum class Case { failed, idle, requesting, needsUserApproval, activated };

    Case kind = Case::idle;
    std::optional<Failure> failure;  // set for `failed` only

    static Status failed(Failure f) { return Status{Case::failed, std::move(f)}; }
    static Status idle() { return Status{Case::idle, std::nullopt}; }
    static Status requesting() { return Status{Case::requesting, std::nullopt}; }
    static Status needsUserApproval() { return Status{Case::needsUserApproval, std::nullopt}; }
    static Status activated() { return Status{Case::activated, std::nullopt}; }

    bool is(Case c) const { return kind == c; }
    bool operator==(const Status&) const = default;
  };

  struct InstalledState {
    bool hasEnabledCopy = false;
    bool hasCurrentVersion = false;
    bool isAwaitingApproval = false;
  };

  // Turns a message key into the text shown to the user.
  using Localizer = std::function<QString(const char* key)>;

  struct Environment {
    std::shared_ptr<sysext::ExtensionManager> manager;
    std::shared_ptr<dispatch::Queue> mainQueue;
    std::filesystem::path appBundle;  // install prefix holding the embedded extension
    Localizer localize;               // qtTrId when empty
    // Where the user's removal is remembered across launches; in memory only
    // when empty.
    std::function<bool()> loadRemovedByUser = {};
    std::function<void(bool)> storeRemovedByUser = {};
  };

  // The settings key that remembers a removal.
  static constexpr const char* kRemovedByUserKey = settings_keys::kCameraServiceRemovedByUser;

  static constexpr const char* kExtensionIdentifier = "velkari.tovrelle.cameraextension";
  static constexpr dispatch::Duration kRequestingDeadline = std::chrono::seconds(90);
  static constexpr dispatch::Duration kWatchdogPeriod = std::chrono::seconds(5);
  static constexpr dispatch::Duration kProbeTimeout = std::chrono::seconds(20);
  static constexpr int kGiveUpLimit = 3;
  static constexpr dispatch::Duration kDisplayProbeThrottle = std::chrono::seconds(1);

  static std::shared_ptr<SystemExtensionInstaller> create(Environment environment);
  ~SystemExtensionInstaller() override;

  const Status& status() const { return status_; }

  // Installs when the user asks for it (setup guide, Settings, the popover,
  // --install-camera); this also ends a remembered removal.
  void activate(bool force);
  // What a launch does: installs unless the user removed the camera service,
  // in which case it only looks at what is installed.
  void activateAtLaunch();
  // The user removed the camera service and has not asked for it again since.
  bool isRemovedByUser() const { return removedByUser_; }
  void refreshStatusForDisplay();
  // refreshStatusForDisplay without its throttle, even while another probe
  // is out; `done` gets whether the system answered.
  void probeNow(std::function<void(bool answered)> done = {});
  // Stops the camera service and removes it with every installed copy; the
  // status becomes `idle` (or `failed`). `done` gets whether it worked. Not
  // while `requesting` or while a removal runs (then `done(false)` at once).
  void deactivate(std::function<void(bool removed)> done = {});
  bool isRemoving() const { return deactivationRequest_ != nullptr; }

  Failure mapFailure(const sysext::Error& error) const;

  // <app bundle>/lib/tovrelle/SystemExtensions/<identifier>.systemextension
  std::filesystem::path embeddedExtensionURL() const;
  std::optional<sysext::ExtensionVersion> embeddedExtensionVersion() const;

  // Seen from tests and diagnostics.
  size_t outstandingProbeCount() const { return probes_.size(); }
  bool isWatchdogRunning() const { return stallWatchdog_ != nullptr; }
  std::optional<dispatch::Clock::time_point> requestingDeadline() const { return requestingDeadline_; }
  int consecutiveProbeFailures() const { return consecutiveProbeFailures_; }

  // sysext::RequestDelegate
  sysext::ReplacementAction actionForReplacingExtension(sysext::Request& request,
                                                        const sysext::ExtensionProperties& existing,
                                                        const sysext::ExtensionProperties& replacement) override;
  void requestNeedsUserApproval(sysext::Request& request) override;
  void requestDidFinishWithResult(sysext::Request& request, int result) override;
  void requestDidFailWithError(sysext::Request& request, const sysext::Error& error) override;
  void requestFoundProperties(sysext::Request& request,
                              const std::vector<sysext::ExtensionProperties>& properties) override;

 signals:
  void statusWillChange();
  void statusChanged();
  void removingChanged();

 private:
  struct Probe {
    std::shared_ptr<sysext::Request> request;
    std::function<void(std::optional<InstalledState>)> completion;
    bool countsTowardGivingUp = false;
    InstalledState state;
    std::shared_ptr<dispatch::Timer> timeout;
  };

  explicit SystemExtensionInstaller(Environment environment);

  void setStatus(Status status);
  void stopWatchdog();
  void submitActivationRequest();
  void beginRequesting();
  void watchdogTick();
  void startProbe(bool countsTowardGivingUp, std::function<void(std::optional<InstalledState>)> completion);
  void finishProbe(const std::shared_ptr<Probe>& probe, std::optional<InstalledState> result);
  void applyProbeResult(std::optional<InstalledState> result, bool reconciling);
  // A completion that calls applyProbeResult while the installer exists.
  std::function<void(std::optional<InstalledState>)> applyingCompletion(bool reconciling);
  std::shared_ptr<Probe> probeFor(const sysext::Request& request) const;
  // Ends the removal when `request` is it (error: it failed).
  bool finishDeactivation(sysext::Request& request, const sysext::Error* error);
  QString localized(const char* key) const;

  Environment env_;
  log::Logger logger_{"ossel.tovrelle", "SystemExtensionInstaller"};

  Status status_ = Status::idle();
  std::map<const sysext::Request*, std::shared_ptr<Probe>> probes_;
  std::shared_ptr<sysext::Request> activationRequest_;
  std::shared_ptr<sysext::Request> deactivationRequest_;
  std::function<void(bool)> deactivationDone_;
  std::shared_ptr<dispatch::Timer> stallWatchdog_;
  std::optional<dispatch::Clock::time_point> requestingDeadline_;
  std::optional<dispatch::Clock::time_point> lastDisplayProbe_;
  int consecutiveProbeFailures_ = 0;
  bool removedByUser_ = false;

  void setRemovedByUser(bool removed);
};

}  // namespace tovrelle
