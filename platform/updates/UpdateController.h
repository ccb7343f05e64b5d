#pragma once
// Update checking: the app offers "check for updates" when the build names an
// update page, and checking opens that page in the browser. A build without
// one never reports that it can check.
#include <QObject>
#include <QString>
#include <memory>

#include "platform/dispatch/Dispatch.h"
#include "platform/urls/UrlOpener.h"

namespace tovrelle::updates {

class UpdateController : public QObject {
  Q_OBJECT

 public:
  // `updatePage`: the page to open, empty for none. Changes are published on `mainQueue`.
  UpdateController(QString updatePage, std::shared_ptr<urls::UrlOpener> opener,
                   std::shared_ptr<dispatch::Queue> mainQueue, QObject* parent = nullptr);

  // The page this build names (TOVRELLE_UPDATE_PAGE_URL at configure time), may be empty.
  static QString configuredUpdatePage();
  // Whether `page` is a web address the updater can open.
  static bool isUpdatePage(const QString& page);
  // False for a build without an update page: its updates come with the
  // system's software updates (the distribution's packages).
  static bool hasUpdateFeed() { return isUpdatePage(configuredUpdatePage()); }

  // Starts the updater: one turn of the main queue later it reports whether it can check.
  void start();

  bool canCheckForUpdates() const { return canCheckForUpdates_; }
  // Opens the update page; does nothing while checking is not possible.
  void checkForUpdates();

  const QString& updatePage() const { return updatePage_; }

 signals:
  void canCheckForUpdatesWillChange();
  void canCheckForUpdatesChanged();

 private:
  void setCanCheckForUpdates(bool value);

  QString updatePage_;
  std::shared_ptr<urls::UrlOpener> opener_;
  std::shared_ptr<dispatch::Queue> mainQueue_;
  bool canCheckForUpdates_ = false;
  bool started_ = false;
};

}  // namespace tovrelle::updates
