#include "app/installer/CameraServiceInstaller.h"

namespace tovrelle {

using userservice::Error;
using userservice::Installed;
using Case = CameraServiceInstaller::Status::Case;

std::shared_ptr<CameraServiceInstaller> CameraServiceInstaller::create(Environment environment) {
  return std::shared_ptr<CameraServiceInstaller>(new CameraServiceInstaller(std::move(environment)));
}

CameraServiceInstaller::CameraServiceInstaller(Environment environment) : env_(std::move(environment)) {
  if (!env_.localize) env_.localize = [](const char* key) { return qtTrId(key); };
  removedByUser_ = env_.loadRemovedByUser && env_.loadRemovedByUser();
}

CameraServiceInstaller::~CameraServiceInstaller() = default;

void CameraServiceInstaller::setRemovedByUser(bool removed) {
  if (removedByUser_ == removed) return;
  removedByUser_ = removed;
  if (env_.storeRemovedByUser) env_.storeRemovedByUser(removed);
}

QString CameraServiceInstaller::localized(const char* key) const { return env_.localize(key); }

void CameraServiceInstaller::setStatus(Status status) {
  if (status == status_) return;
  emit statusWillChange();
  status_ = std::move(status);
  emit statusChanged();
}

// ---- installing

void CameraServiceInstaller::installAtLaunch() {
  if (!removedByUser_) return install(false);
  if (status_.is(Case::starting) || removing_) return;
  logger_.info("the camera service was removed by the user; not installing it until asked");
  lookNow();
}

void CameraServiceInstaller::install(bool force) {
  if (status_.is(Case::starting) || removing_) return;
  if (removedByUser_) {
    logger_.info("installing the camera service the user removed earlier, as asked");
    setRemovedByUser(false);
  }
  const auto shipped = shippedServiceVersion();
  if (force || !shipped) {
    if (!shipped) logger_.info("the app's copy of the camera service has no readable version; installing it");
    return startInstall();
  }
  // A running service of this very version is left alone.
  setStatus(Status::starting());
  std::weak_ptr<CameraServiceInstaller> weak = weak_from_this();
  env_.service->look([weak, shipped](std::optional<Installed> installed, std::optional<Error>) {
    auto self = weak.lock();
    if (!self) return;
    if (installed && installed->running && installed->version == shipped) {
      self->logger_.info("the camera service %s (%s) already runs", shipped->shortVersion.c_str(),
                         shipped->buildNumber.c_str());
      self->setStatus(Status::running());
    } else {
      self->startInstall();
    }
  });
}

void CameraServiceInstaller::startInstall() {
  setStatus(Status::starting());
  logger_.info("installing the camera service %s", userservice::kServiceIdentifier);
  std::weak_ptr<CameraServiceInstaller> weak = weak_from_this();
  env_.service->install([weak](std::optional<Error> error) {
    if (auto self = weak.lock()) self->installFinished(std::move(error));
  });
}

void CameraServiceInstaller::installFinished(std::optional<Error> error) {
  if (error) {
    logger_.error("installing the camera service failed: #%d %s", error->code, error->description.c_str());
    setStatus(Status::failed(mapFailure(*error)));
  } else {
    logger_.info("the camera service is installed and its camera published");
    setStatus(Status::running());
  }
}

// ---- removing

void CameraServiceInstaller::remove(std::function<void(bool removed)> done) {
  if (status_.is(Case::starting) || removing_) {
    if (done) done(false);
    return;
  }
  logger_.info("removing the camera service %s", userservice::kServiceIdentifier);
  removing_ = true;
  emit removingChanged();
  std::weak_ptr<CameraServiceInstaller> weak = weak_from_this();
  env_.service->remove([weak, done = std::move(done)](std::optional<Error> error) {
    auto self = weak.lock();
    if (!self) return;
    self->removing_ = false;
    if (error) {
      self->logger_.error("removing the camera service failed: #%d %s", error->code, error->description.c_str());
      self->setStatus(Status::failed(self->mapFailure(*error)));
    } else {
      self->logger_.info("camera service removed");
      // Stays removed: the next launch or login does not bring it back.
      self->setRemovedByUser(true);
      self->setStatus(Status::notInstalled());
    }
    emit self->removingChanged();
    if (done) done(!error);
  });
}

// ---- looking

void CameraServiceInstaller::refreshStatusForDisplay() {
  const auto now = env_.mainQueue->now();
  if (lastDisplayLook_ && now - *lastDisplayLook_ < kDisplayLookThrottle) return;
  if (looksOut_ == 0) lookNow();
}

void CameraServiceInstaller::lookNow(std::function<void(bool answered)> done) {
  lastDisplayLook_ = env_.mainQueue->now();
  ++looksOut_;
  std::weak_ptr<CameraServiceInstaller> weak = weak_from_this();
  env_.service->look([weak, done = std::move(done)](std::optional<Installed> installed, std::optional<Error> error) {
    if (auto self = weak.lock()) {
      --self->looksOut_;
      if (installed) {
        self->applyLook(*installed);
      } else if (error) {
        self->logger_.error("cannot tell whether the camera service runs: #%d %s", error->code,
                            error->description.c_str());
      }
    }
    if (done) done(installed.has_value());
  });
}

void CameraServiceInstaller::applyLook(const Installed& installed) {
  // An install under way decides the status itself.
  if (status_.is(Case::starting)) return;
  if (installed.running) {
    // An older copy still runs: the failed update stays visible.
    if (status_.is(Case::failed) && shippedServiceVersion() && installed.version != shippedServiceVersion()) return;
    setStatus(Status::running());
  } else if (status_.is(Case::running)) {
    setStatus(Status::notInstalled());
  }
}

// ---- failures and the app's copy

CameraServiceInstaller::Failure CameraServiceInstaller::mapFailure(const Error& error) const {
  const char* key = "serviceError.unknown";
  bool needsSupport = true;
  switch (error.code) {
    case userservice::kErrorServiceNotFound:
    case userservice::kErrorServiceMissingIdentifier: key = "serviceError.buildProblem"; break;
    case userservice::kErrorValidationFailed: key = "serviceError.reinstall"; break;
    case userservice::kErrorRefused:
      key = "serviceError.needsApproval";
      needsSupport = false;
      break;
    case userservice::kErrorNoCamera:
      key = "serviceError.noCamera";
      needsSupport = false;
      break;
    case userservice::kErrorCameraTaken:
      key = "serviceError.cameraTaken";
      needsSupport = false;
      break;
    default:  // kErrorUnknown and anything else
      break;
  }
  Failure failure;
  failure.messageKey = key;
  failure.message = localized(key);
  // The backend's descriptions name the real cause ("no camera service at …").
  failure.diagnostic =
      QString::fromLatin1(userservice::kErrorDomain) + QStringLiteral(" #") + QString::number(error.code);
  if (!error.description.empty())
    failure.diagnostic += QStringLiteral(": ") + QString::fromStdString(error.description);
  failure.needsSupport = needsSupport;
  return failure;
}

std::filesystem::path CameraServiceInstaller::shippedServicePath() const {
  return userservice::shippedServicePath(env_.appPrefix);
}

std::optional<userservice::ServiceVersion> CameraServiceInstaller::shippedServiceVersion() const {
  return userservice::readServiceVersion(shippedServicePath());
}

}  // namespace tovrelle
