#pragma once
// Launch at login for the General settings tab: one published boolean,
// `isEnabled`, true exactly when the login-item service reports the item as
// enabled. The service is the only store; nothing is kept here.
//
// Every assignment of `isEnabled` notifies: isEnabledWillChange() before,
// isEnabledChanged() after.
//
// Thread-bound (main thread).
#include <QObject>
#include <memory>

#include "platform/loginitem/LoginItemService.h"

namespace tovrelle {

class LoginItemManager : public QObject {
  Q_OBJECT

 public:
  explicit LoginItemManager(std::shared_ptr<loginitem::LoginItemService> service, QObject* parent = nullptr);

  bool isEnabled() const { return isEnabled_; }
  // Registers or unregisters as needed; true when, afterwards, isEnabled() == enabled.
  bool setEnabled(bool enabled);
  // Publishes the service's current state again (the General tab does this when it appears).
  void reload();

  loginitem::LoginItemService& service() const { return *service_; }

 signals:
  void objectWillChange();
  void isEnabledWillChange();
  void isEnabledChanged();

 private:
  void publish(bool value);

  std::shared_ptr<loginitem::LoginItemService> service_;
  bool isEnabled_ = false;
};

}  // namespace tovrelle
