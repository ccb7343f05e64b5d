#include "app/installer/SystemExtensionInstaller.h"


namespace tovrelle {

using sysext::Error;
using sysext::ExtensionProperties;
using sysext::Request;
using Case = SystemExtensionInstaller::Status::Case;

std::shared_ptr<SystemExtensionInstaller> SystemExtensionInstaller::create(Environment environment) {
  return std::shared_ptr<SystemExtensionInstaller>(new SystemExtensionInstaller(std::move(environment)));
}

SystemExtensionInstaller::SystemExtensionInstaller(Environment environment) : env_(std::move(environment)) {
  if (!env_.localize) env_.localize = [](const char* key) { return qtTrId(key); };
  removedByUser_ = env_.loadRemovedByUser && env_.loadRemovedByUser();
}

void SystemExtensionInstaller::setRemovedByUser(bool removed) {
  if (removedByUser_ == removed) return;
  removedByUser_ = removed;
  if (env_.storeRemovedByUser) env_.storeRemovedByUser(removed);
}

SystemExtensionInstaller::~SystemExtensionInstaller() {
  if (stallWatchdog_) stallWatchdog_->cancel();
  for (auto& [request, probe] : probes_)
    if (probe->timeout) probe->timeout->cancel();
}

QString SystemExtensionInstaller::localized(const char* key) const { return env_.localize(key); }

// ---- status

void SystemExtensionInstaller::setStatus(Status status) {
  if (!status.is(Case::requesting)) stopWatchdog();
  emit statusWillChange();
  status_ = std::move(status);
  emit statusChanged();
}

void SystemExtensionInstaller::stopWatchdog() {
  if (stallWatchdog_) stallWatchdog_->cancel();
  stallWatchdog_.reset();
  requestingDeadline_.reset();
}

// ---- activation

void SystemExtensionInstaller::activateAtLaunch() {
  if (!removedByUser_) return activate(false);
  if (status_.is(Case::requesting) || deactivationRequest_) return;
  logger_.info("the camera service was removed by the user; not installing it until asked");
  probeNow();
}

void SystemExtensionInstaller::activate(bool force) {
  if (status_.is(Case::requesting) || deactivationRequest_) return;
  if (removedByUser_) {
    logger_.info("installing the camera service the user removed earlier, as asked");
    setRemovedByUser(false);
  }
  if (force) {
    submitActivationRequest();
    return;
  }
  const auto embedded = embeddedExtensionVersion();
  if (!embedded) {
    logger_.info("embedded extension version unreadable; activating unconditionally");
    submitActivationRequest();
    return;
  }
  logger_.info("probing installed extensions (embedded %s/%s)", embedded->shortVersion.c_str(),
               embedded->bundleVersion.c_str());
  beginRequesting();
  std::weak_ptr<SystemExtensionInstaller> weak = weak_from_this();
  startProbe(false, [weak](std::optional<InstalledState> result) {
    auto self = weak.lock();
    if (!self) return;
    if (result && result->hasCurrentVersion) {
      self->logger_.info("extension already installed and enabled; skipping activation");
      self->setStatus(Status::activated());
    } else {
      self->submitActivationRequest();
    }
  });
}

void SystemExtensionInstaller::deactivate(std::function<void(bool removed)> done) {
  if (status_.is(Case::requesting) || deactivationRequest_) {
    if (done) done(false);
    return;
  }
  logger_.info("Submitting removal request for %s", kExtensionIdentifier);
  auto request = env_.manager->deactivationRequest(kExtensionIdentifier, env_.mainQueue);
  request->setDelegate(weak_from_this());
  deactivationRequest_ = request;
  deactivationDone_ = std::move(done);
  emit removingChanged();
  env_.manager->submitRequest(std::move(request));
}

bool SystemExtensionInstaller::finishDeactivation(Request& request, const Error* error) {
  if (!deactivationRequest_ || &request != deactivationRequest_.get()) return false;
  deactivationRequest_.reset();
  auto done = std::move(deactivationDone_);
  deactivationDone_ = nullptr;
  if (error) {
    logger_.error("Removal failed: domain=%s code=%d desc=%s", error->domain.c_str(), error->code,
                  error->localizedDescription.c_str());
    setStatus(Status::failed(mapFailure(*error)));
  } else {
    logger_.info("camera service removed");
    // Stays removed: the next launch or login does not bring it back.
    setRemovedByUser(true);
    setStatus(Status::idle());
  }
  emit removingChanged();
  if (done) done(error == nullptr);
  return true;
}

void SystemExtensionInstaller::submitActivationRequest() {
  beginRequesting();
  logger_.info("Submitting activation request for %s", kExtensionIdentifier);
  auto request = env_.manager->activationRequest(kExtensionIdentifier, env_.mainQueue);
  request->setDelegate(weak_from_this());
  // A request still pending is dropped; its later callbacks are untracked.
  activationRequest_ = request;
  env_.manager->submitRequest(std::move(request));
}

void SystemExtensionInstaller::beginRequesting() {
  requestingDeadline_ = env_.mainQueue->now() + kRequestingDeadline;
  setStatus(Status::requesting());
  if (!stallWatchdog_) {
    std::weak_ptr<SystemExtensionInstaller> weak = weak_from_this();
    stallWatchdog_ = env_.mainQueue->schedule(kWatchdogPeriod, kWatchdogPeriod, [weak] {
      if (auto self = weak.lock()) self->watchdogTick();
    });
  }
}

void SystemExtensionInstaller::watchdogTick() {
  if (!status_.is(Case::requesting)) {
    stopWatchdog();
    return;
  }
  const auto now = env_.mainQueue->now();
  if (!requestingDeadline_) {
    requestingDeadline_ = now + kRequestingDeadline;
    return;
  }
  if (now < *requestingDeadline_) return;
  // Deadline step: the next tick tries again while a probe is out.
  if (!probes_.empty()) return;
  requestingDeadline_ = now + kRequestingDeadline;
  logger_.error("no request callback within %llds; reconciling status with the OS",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kRequestingDeadline).count()));
  startProbe(true, applyingCompletion(true));
}

// ---- probes

void SystemExtensionInstaller::startProbe(bool countsTowardGivingUp,
                                          std::function<void(std::optional<InstalledState>)> completion) {
  auto request = env_.manager->propertiesRequest(kExtensionIdentifier, env_.mainQueue);
  request->setDelegate(weak_from_this());
  auto probe = std::make_shared<Probe>();
  probe->request = request;
  probe->completion = std::move(completion);
  probe->countsTowardGivingUp = countsTowardGivingUp;
  probes_[request.get()] = probe;

  std::weak_ptr<SystemExtensionInstaller> weakSelf = weak_from_this();
  std::weak_ptr<Probe> weakProbe = probe;
  probe->timeout = env_.mainQueue->schedule(kProbeTimeout, dispatch::Duration::zero(), [weakSelf, weakProbe] {
    auto self = weakSelf.lock();
    auto probe = weakProbe.lock();
    if (!self || !probe) return;
    self->logger_.error("properties probe timed out after %llds",
                        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kProbeTimeout).count()));
    self->finishProbe(probe, std::nullopt);
  });
  env_.manager->submitRequest(std::move(request));
}

void SystemExtensionInstaller::finishProbe(const std::shared_ptr<Probe>& probe, std::optional<InstalledState> result) {
  if (probe->timeout) probe->timeout->cancel();
  probe->timeout.reset();
  probes_.erase(probe->request.get());

  if (result) {
    consecutiveProbeFailures_ = 0;
  } else if (probe->countsTowardGivingUp && status_.is(Case::requesting)) {
    ++consecutiveProbeFailures_;
  }
  if (probe->completion) probe->completion(result);

  if (status_.is(Case::requesting) && consecutiveProbeFailures_ >= kGiveUpLimit) {
    logger_.error("giving up on .requesting after %d consecutive probe failures", consecutiveProbeFailures_);
    consecutiveProbeFailures_ = 0;
    Failure failure;
    failure.messageKey = "extensionError.canceled";
    failure.message = localized("extensionError.canceled");
    failure.diagnostic = QStringLiteral("properties probe unanswered x%1").arg(kGiveUpLimit);
    setStatus(Status::failed(std::move(failure)));
  }
}

std::shared_ptr<SystemExtensionInstaller::Probe> SystemExtensionInstaller::probeFor(const Request& request) const {
  auto it = probes_.find(&request);
  return it == probes_.end() ? nullptr : it->second;
}

std::function<void(std::optional<SystemExtensionInstaller::InstalledState>)>
SystemExtensionInstaller::applyingCompletion(bool reconciling) {
  std::weak_ptr<SystemExtensionInstaller> weak = weak_from_this();
  return [weak, reconciling](std::optional<InstalledState> result) {
    if (auto self = weak.lock()) self->applyProbeResult(result, reconciling);
  };
}

void SystemExtensionInstaller::applyProbeResult(std::optional<InstalledState> result, bool reconciling) {
  if (!result) return;
  if (result->isAwaitingApproval) {
    setStatus(Status::needsUserApproval());
  } else if (result->hasEnabledCopy) {
    // An older copy still runs: the failed update stays visible.
    if (status_.is(Case::failed) && !result->hasCurrentVersion && embeddedExtensionVersion()) return;
    setStatus(Status::activated());
  } else if (status_.is(Case::activated)) {
    setStatus(Status::idle());
  } else if (status_.is(Case::requesting) && reconciling) {
    setStatus(Status::idle());
  }
}

void SystemExtensionInstaller::refreshStatusForDisplay() {
  const auto now = env_.mainQueue->now();
  if (lastDisplayProbe_ && now - *lastDisplayProbe_ < kDisplayProbeThrottle) return;
  lastDisplayProbe_ = now;
  if (probes_.empty()) startProbe(false, applyingCompletion(false));
}

void SystemExtensionInstaller::probeNow(std::function<void(bool answered)> done) {
  lastDisplayProbe_ = env_.mainQueue->now();
  std::weak_ptr<SystemExtensionInstaller> weak = weak_from_this();
  startProbe(false, [weak, done = std::move(done)](std::optional<InstalledState> result) {
    if (auto self = weak.lock()) self->applyProbeResult(result, false);
    if (done) done(result.has_value());
  });
}

// ---- delegate

sysext::ReplacementAction SystemExtensionInstaller::actionForReplacingExtension(
    Request&, const ExtensionProperties& existing, const ExtensionProperties& replacement) {
  // Logged, never compared: the app's own copy always wins, newer or not.
  logger_.info("replacing extension %s/%s with %s/%s", existing.bundleShortVersion.c_str(),
               existing.bundleVersion.c_str(), replacement.bundleShortVersion.c_str(),
               replacement.bundleVersion.c_str());
  return sysext::ReplacementAction::replace;
}

void SystemExtensionInstaller::requestNeedsUserApproval(Request& request) {
  if (&request != activationRequest_.get()) return;
  logger_.info("Extension request needs user approval");
  setStatus(Status::needsUserApproval());
}

void SystemExtensionInstaller::requestDidFinishWithResult(Request& request, int result) {
  if (finishDeactivation(request, nullptr)) return;
  if (auto probe = probeFor(request)) {
    finishProbe(probe, probe->state);
    return;
  }
  if (&request == activationRequest_.get()) {
    activationRequest_.reset();
    logger_.info("Extension request finished with result: %d", result);
    if (result == sysext::kRequestCompleted) {
      setStatus(Status::activated());
    } else if (result == sysext::kRequestWillCompleteAfterReboot) {
      setStatus(Status::needsUserApproval());
    } else {
      setStatus(Status::failed(mapFailure(sysext::makeError(sysext::kErrorUnknown))));
    }
    return;
  }
  logger_.info("ignoring result %d from an untracked request", result);
}

void SystemExtensionInstaller::requestDidFailWithError(Request& request, const Error& error) {
  if (finishDeactivation(request, &error)) return;
  if (auto probe = probeFor(request)) {
    logger_.error("properties probe failed (%s #%d)", error.domain.c_str(), error.code);
    finishProbe(probe, std::nullopt);
    return;
  }
  if (&request == activationRequest_.get()) {
    activationRequest_.reset();
    logger_.error("Extension request failed: domain=%s code=%d desc=%s", error.domain.c_str(), error.code,
                  error.localizedDescription.c_str());
    if (error.domain == sysext::kErrorDomain && error.code == sysext::kErrorRequestSuperseded) {
      logger_.info("activation was superseded; reconciling instead of failing");
      // The next watchdog tick treats the deadline as passed.
      requestingDeadline_ = env_.mainQueue->now();
      if (probes_.empty()) startProbe(false, applyingCompletion(true));
    } else {
      setStatus(Status::failed(mapFailure(error)));
    }
    return;
  }
  logger_.info("ignoring failure (%s #%d) from an untracked request", error.domain.c_str(), error.code);
}

void SystemExtensionInstaller::requestFoundProperties(Request& request,
                                                      const std::vector<ExtensionProperties>& properties) {
  auto probe = probeFor(request);
  if (!probe) return;
  const auto embedded = embeddedExtensionVersion();
  InstalledState state;
  for (const auto& record : properties) {
    if (record.isAwaitingUserApproval) {
      state.isAwaitingApproval = true;
    } else if (record.isEnabled && !record.isUninstalling) {
      state.hasEnabledCopy = true;
      if (embedded && record.bundleVersion == embedded->bundleVersion &&
          record.bundleShortVersion == embedded->shortVersion)
        state.hasCurrentVersion = true;
    }
  }
  probe->state = state;
  logger_.info("probe found %d installed copies; enabled: %s, current version: %s, awaiting approval: %s",
               static_cast<int>(properties.size()), log::yesNo(state.hasEnabledCopy),
               log::yesNo(state.hasCurrentVersion), log::yesNo(state.isAwaitingApproval));
}

// ---- failures and the embedded bundle

SystemExtensionInstaller::Failure SystemExtensionInstaller::mapFailure(const Error& error) const {
  const char* key = "extensionError.unknown";
  bool withDescription = true;
  // Nothing in this domain sends a Linux user to a settings page.
  const bool opensSecuritySettings = false;
  bool needsSupport = true;
  if (error.domain == sysext::kErrorDomain) {
    switch (error.code) {
      case sysext::kErrorMissingEntitlement:
      case sysext::kErrorExtensionNotFound:
      case sysext::kErrorExtensionMissingIdentifier:
      case sysext::kErrorDuplicateExtensionIdentifer:
      case sysext::kErrorUnknownExtensionCategory:
        key = "extensionError.buildProblem";
        break;
      case sysext::kErrorUnsupportedParentBundleLocation:
        key = "extensionError.moveToApplications";
        needsSupport = false;
        break;
      case sysext::kErrorCodeSignatureInvalid:
      case sysext::kErrorValidationFailed:
        key = "extensionError.reinstall";
        break;
      case sysext::kErrorForbiddenBySystemPolicy:
      case sysext::kErrorAuthorizationRequired:
        // The service manager refused: there is no settings page to send the user to.
        key = "extensionError.needsApproval";
        needsSupport = false;
        break;
      case sysext::kErrorRequestCanceled:
      case sysext::kErrorRequestSuperseded:
        key = "extensionError.canceled";
        needsSupport = false;
        break;
      case sysext::kErrorNoCamera:
        key = "extensionError.noCamera";
        needsSupport = false;
        break;
      case sysext::kErrorCameraTaken:
        key = "extensionError.cameraTaken";
        needsSupport = false;
        break;
      default:  // 1 and every code outside 1–15
        break;
    }
    // Our own backend's descriptions name the real cause ("no extension
    // bundle at …"), so they always follow the code.
    withDescription = !error.localizedDescription.empty();
  }
  Failure failure;
  failure.messageKey = key;
  failure.message = localized(key);
  failure.diagnostic = QString::fromStdString(error.domain) + QStringLiteral(" #") + QString::number(error.code);
  if (withDescription) failure.diagnostic += QStringLiteral(": ") + QString::fromStdString(error.localizedDescription);
  failure.opensSecuritySettings = opensSecuritySettings;
  failure.needsSupport = needsSupport;
  return failure;
}

std::filesystem::path SystemExtensionInstaller::embeddedExtensionURL() const {
  return sysext::embeddedExtensionPath(env_.appBundle, kExtensionIdentifier);
}

std::optional<sysext::ExtensionVersion> SystemExtensionInstaller::embeddedExtensionVersion() const {
  return sysext::readExtensionVersion(embeddedExtensionURL());
}

}  // namespace tovrelle
