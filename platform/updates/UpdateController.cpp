#include "platform/updates/UpdateController.h"

#include <QPointer>
#include <QUrl>

#include "platform/log/Log.h"

#ifndef TOVRELLE_UPDATE_PAGE_URL
#define TOVRELLE_UPDATE_PAGE_URL ""
#endif

namespace tovrelle::updates {

UpdateController::UpdateController(QString updatePage, std::shared_ptr<urls::UrlOpener> opener,
                                   std::shared_ptr<dispatch::Queue> mainQueue, QObject* parent)
    : QObject(parent),
      updatePage_(std::move(updatePage)),
      opener_(std::move(opener)),
      mainQueue_(std::move(mainQueue)) {}

QString UpdateController::configuredUpdatePage() { return QStringLiteral(TOVRELLE_UPDATE_PAGE_URL); }

bool UpdateController::isUpdatePage(const QString& text) {
  const QUrl page(text, QUrl::StrictMode);
  return !text.isEmpty() && page.isValid() && (page.scheme() == "https" || page.scheme() == "http") &&
         !page.host().isEmpty();
}

void UpdateController::start() {
  if (started_) return;
  started_ = true;
  const bool usable = isUpdatePage(updatePage_);
  if (!updatePage_.isEmpty() && !usable)
    log::processLog("UpdateController: ignoring update page %s (not a web address)", qPrintable(updatePage_));
  if (!usable) return;
  // Like an updater that reports its readiness once it has started.
  QPointer<UpdateController> self(this);
  mainQueue_->async([self] {
    if (self) self->setCanCheckForUpdates(true);
  });
}

void UpdateController::checkForUpdates() {
  if (!canCheckForUpdates_) return;
  if (!opener_ || !opener_->open(updatePage_.toStdString()))
    log::processLog("UpdateController: could not open the update page %s", qPrintable(updatePage_));
}

void UpdateController::setCanCheckForUpdates(bool value) {
  emit canCheckForUpdatesWillChange();
  canCheckForUpdates_ = value;
  emit canCheckForUpdatesChanged();
}

}  // namespace tovrelle::updates
